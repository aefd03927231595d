#include "platform/bundle.h"

#include "platform/file.h"

#include <sys/stat.h>

namespace installer::platform {

namespace {

// Far above any real Info.plist; a larger one is treated as unreadable rather than
// read whole.
constexpr std::size_t maxInfoSize = 4 * 1024 * 1024;

PlistValue readInfo(const std::filesystem::path& bundle) {
    PlistValue empty;
    empty.kind = PlistValue::Kind::dictionary;
    try {
        const std::string bytes = readFile(bundle / "Contents" / "Info.plist", maxInfoSize);
        if (bytes.size() > maxInfoSize)
            return empty;
        PlistValue info = parsePropertyList(bytes);
        return info.isDictionary() ? info : empty;
    } catch (const std::exception&) {
        return empty;
    }
}

std::optional<std::string> textMember(const PlistValue& dictionary, std::string_view key) {
    const PlistValue* value = dictionary.find(key);
    if (!value || value->kind != PlistValue::Kind::string)
        return std::nullopt;
    return value->text;
}

} // namespace

std::optional<Bundle> Bundle::open(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return Bundle(path, readInfo(path));
}

std::optional<std::string> Bundle::identifier() const {
    return textMember(info_, "CFBundleIdentifier");
}

std::optional<std::filesystem::path> Bundle::executable() const {
    const auto name = textMember(info_, "CFBundleExecutable");
    // One path component only: a name such as ../../bin/sh must not lead the checks
    // that follow to a file outside the bundle.
    if (!name || name->empty() || *name == "." || *name == ".." ||
        name->find('/') != std::string::npos || name->find('\0') != std::string::npos)
        return std::nullopt;
    std::filesystem::path file = path_ / "Contents" / "MacOS" / *name;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return std::nullopt;
    return file;
}

} // namespace installer::platform
