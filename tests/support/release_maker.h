#pragma once

#include "release/records.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace installer::testing {

inline constexpr std::string_view testAppId = "com.tavelo.desktop.sit";
inline constexpr std::string_view testAppName = "AI澄翎网盘测试版";

struct ReleaseRecipe {
    std::string version = "1.1.0";
    std::string build = "110";
    std::string identifier = std::string(testAppId);
    std::string archs = {}; // empty: what the executable itself is
    bool seal = true;
    std::filesystem::path payload = {}; // copied into the bundle's resources
};

// A release of the sample application made by sample-app/make-release.
struct Release {
    std::filesystem::path image;
    std::filesystem::path bundle; // the sealed bundle the image carries
    release::Package package;     // size and digest of the image, test identifier
};

Release makeRelease(const std::filesystem::path& folder, const ReleaseRecipe& recipe = {});

// The test edition's manifest of the release (the recipe's version and build, the image's
// size and digest), as JSON and as the install transaction reads it.
nlohmann::ordered_json releaseManifest(const Release& release, const ReleaseRecipe& recipe = {});
release::Manifest manifestFor(const Release& release, const ReleaseRecipe& recipe = {});

// Packs a folder into an emulated disk image; the image's size and digest.
release::Package makeImage(const std::filesystem::path& folder, const std::filesystem::path& image);

int emulatedTool(const std::string& tool, const std::vector<std::string>& args);

std::filesystem::path emulatedToolsDir();

// The short version of the bundle at path, or "" when there is none to read.
std::string bundleShortVersion(const std::filesystem::path& bundle);

} // namespace installer::testing
