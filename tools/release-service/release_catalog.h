#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace installer::service {

// A release as its file holds it: the manifest's members except issuedAt and expiresAt,
// kept exactly as written (order, odd values and all), because tests also serve
// releases the installer must refuse.
using Release = nlohmann::ordered_json;

// Every *.json file of the folder, in file-name order. A file that is no JSON object
// is an error naming the file.
std::vector<Release> loadReleases(const std::filesystem::path& folder);

// The machine a resolve request describes, from its query items.
struct Query {
    std::string platform;
    std::string arch;
    std::string osVersion;
    std::string protocolVersion;
    std::string installerVersion;
};

// What the service offers a machine: a release, or the reason there is none.
struct Offer {
    const Release* release = nullptr;
    std::string reason; // "INSTALLER_UPGRADE_REQUIRED", "OS_UNSUPPORTED", "NO_STABLE_RELEASE"
};

// The newest stable release for the query's platform and architecture that the machine
// can run and this installer can install. When none fits, the reason is taken from the
// newest candidate: first the installer (version or protocol too old), then the system.
Offer chooseRelease(const std::vector<Release>& releases, const Query& query);

// The release with this id, or null.
const Release* findRelease(const std::vector<Release>& releases, std::string_view releaseId);

// Dotted decimal versions of any length, missing parts counting as 0 (14.5 equals
// 14.5.0); nullopt when either is not such a version.
std::optional<int> compareDotted(std::string_view a, std::string_view b);

} // namespace installer::service
