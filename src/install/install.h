#pragma once

#include "install/health_file.h"
#include "platform/event_log.h"
#include "platform/file_manager.h"
#include "platform/system.h"
#include "release/records.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace installer::install {

// Where the transaction's tools, machine facts and file operations come from.
struct InstallEnvironment {
    std::string toolDir; // hdiutil, lipo, codesign, ditto, open
    const platform::System& system;
    const platform::FileManager& files;
    std::FILE* readyOutput = stdout; // receives "READY" in update mode
    const platform::EventLog& log = platform::noEventLog();
};

using StatusCallback = std::function<void(const std::string&)>;

// Puts the verified release in `package` at `target`: checks the target and the
// installed version, verifies the package again, mounts it read-only, validates its one
// application bundle, waits for the running application (update mode: `waitPID`) or
// refuses while it runs, swaps the bundle in keeping the previous copy, starts it and
// waits for its health file. Returns only after a confirmed start; throws otherwise.
// The installed application is never lost: on every failure it is at the target or,
// after an unconfirmed start, beside it under its hidden previous-copy name. Even a
// crash or a power cut loses nothing: a record of the transaction beside the target
// lets the next install of that target, by any user and under any spelling of its path,
// finish or undo it first, and the release of a start that was never confirmed may be
// installed again, to repair it.
void install(const std::filesystem::path& package, const release::Manifest& manifest,
             const std::filesystem::path& target, std::optional<int> waitPID,
             const StatusCallback& status, const InstallEnvironment& environment);

// What install checks before it mounts anything, for a caller that wants a refusal
// before it downloads: the target, its lock (refused while another installer works on
// it), recovery of what earlier transactions left, the installed version, and the
// application running (graphical mode only calls it; the install checks that again).
void checkInstalledRelease(const release::Manifest& manifest, const std::filesystem::path& target,
                           const InstallEnvironment& environment);

} // namespace installer::install
