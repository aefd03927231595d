#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace installer::release {

// The built-in configuration of one edition. Decoded once at start and passed by
// value; nothing changes it afterwards.
struct Settings {
    std::string apiOrigin;
    std::string environment;
    std::map<std::string, std::string> keys;  // key id -> base64url Ed25519 public key
    std::vector<std::string> downloadHosts;
    std::string installerVersion;
};

// Strict decoding: the five members are required with exact types; other members
// are skipped unread. Values are not judged here but where they are used.
Settings decodeSettings(std::string_view bytes);

// The name of the installed application, its bundle and its support folder: the test
// environment "sit" (exactly) installs beside production under a name of its own.
inline std::string_view editionName(std::string_view environment) {
    return environment == "sit" ? "AI澄翎网盘测试版" : "AI澄翎网盘";
}

} // namespace installer::release
