#pragma once

#include "entry/edition.h"
#include "platform/event_log.h"
#include "platform/system.h"

#include <filesystem>
#include <string>
#include <vector>

namespace installer::entry {

// Decodes the edition's settings, then runs the mode the arguments choose. Throws
// whatever ends the mode.
void runInstaller(const std::vector<std::string>& arguments, const Edition& edition,
                  const platform::System& system,
                  const platform::EventLog& log = platform::noEventLog());

// "Library/Logs/<product name>/installer.log" in the home folder: one log per user and
// edition, which every run of every mode appends to.
std::filesystem::path installerLogFile(const std::filesystem::path& home,
                                       std::string_view environment);

// The whole process as runMain runs it, with the machine and the log given: the log's
// start and outcome lines around runInstaller. Returns the exit status.
int runLogged(const std::vector<std::string>& arguments, const Edition& edition,
              const platform::System& system, const platform::EventLog& log);

// The process: runs the installer and turns an escaping error into the line
// "安装失败：<description>" on standard error and exit status 1.
int runMain(int argc, char** argv, const Edition& edition);

} // namespace installer::entry
