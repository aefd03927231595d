#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace installer::platform {

// A refusal of the operating system. It keeps the errno for callers that need to tell
// causes apart, and carries a Chinese description for the user with the technical
// detail (the path) after it, as a localised system would phrase it.
class SystemError : public std::system_error {
public:
    SystemError(int errnum, std::string description);
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
};

// The reason for an errno value in Simplified Chinese.
std::string describeErrno(int errnum);

// "<action>：<reason>（<path>）", for example 无法读取文件：文件不存在（/tmp/m.json）.
[[noreturn]] void throwSystemError(int errnum, std::string_view action,
                                   const std::filesystem::path& path);

} // namespace installer::platform
