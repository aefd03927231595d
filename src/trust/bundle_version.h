#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace installer::trust {

struct BundleVersion {
    std::string version;      // CFBundleShortVersionString as found
    std::uint64_t build = 0;  // CFBundleVersion, 0 when it is not a decimal text
};

// Reads an application bundle that must carry the identifier expectedID. Every
// refusal is "目标不是澄翎网盘应用".
BundleVersion bundleVersion(const std::filesystem::path& bundle, std::string_view expectedID);

} // namespace installer::trust
