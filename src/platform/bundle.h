#pragma once

#include "platform/property_list.h"

#include <filesystem>
#include <optional>
#include <string>

namespace installer::platform {

// An application bundle as the system's bundle object presents it: a folder, its
// information dictionary (Contents/Info.plist, XML or binary) and its executable.
class Bundle {
public:
    // Nothing when the path is not a folder. A folder without a readable Info.plist is
    // still a bundle, with an empty information dictionary.
    static std::optional<Bundle> open(const std::filesystem::path& path);

    const std::filesystem::path& path() const { return path_; }
    // The dictionary, or an empty one when Info.plist is missing or unreadable.
    const PlistValue& info() const { return info_; }
    // CFBundleIdentifier when it is text.
    std::optional<std::string> identifier() const;
    // Contents/MacOS/<CFBundleExecutable> when that names one file that exists.
    std::optional<std::filesystem::path> executable() const;

private:
    Bundle(std::filesystem::path path, PlistValue info)
        : path_(std::move(path)), info_(std::move(info)) {}

    std::filesystem::path path_;
    PlistValue info_;
};

} // namespace installer::platform
