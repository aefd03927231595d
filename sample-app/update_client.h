#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavelo::update {

struct UpdateRequest {
    std::filesystem::path installer;  // the installer executable
    std::filesystem::path manifest;   // a signed-manifest file
    std::filesystem::path package;    // the downloaded disk image
    std::filesystem::path target;     // this application's bundle
    std::filesystem::path log = "/dev/null";  // receives the installer's standard error
    std::chrono::milliseconds readyTimeout = std::chrono::seconds(120);
};

struct UpdateStart {
    // The installer has validated everything and this application must now exit
    // (within 45 seconds) so the installer can swap the bundle. When false the
    // installer refused (its reason is in the log) or did not answer in time, and the
    // application keeps running untouched.
    bool ready = false;
    int installerPid = -1;  // -1 when it could not be started
};

// Starts the installer in update mode for this process and waits for its "READY"
// line. The installer runs in its own session, so it outlives this process.
UpdateStart startUpdate(const UpdateRequest& request);

// The transaction id of a start by the installer: the value of the argument
// "--installer-transaction=<id>", if there is one.
std::optional<std::string> installerTransaction(const std::vector<std::string>& arguments);

// "Library/Application Support/<edition>/update-health/<id>.json" under home.
std::filesystem::path healthFilePath(const std::filesystem::path& home,
                                     const std::string& editionFolder, const std::string& id);

// Writes the health file that confirms a healthy start. Written to a temporary file
// in the same folder and renamed, so the installer never reads half a file. Throws
// std::system_error.
void writeHealthFile(const std::filesystem::path& file, const std::string& version,
                     std::uint64_t buildNumber, bool ready = true);

} // namespace tavelo::update
