#pragma once

#include "platform/file.h"

#include <filesystem>
#include <optional>

namespace installer::platform {

// An exclusive advisory lock (flock) on a file, held for as long as this object lives.
// It belongs to this open of the file: a second FileLock on the same file, in this
// process or another, is refused while the first lives, and a process that dies,
// however it dies, releases it. Tools the installer starts never inherit it.
class FileLock {
public:
    // Takes the lock of the file at path, creating the file (mode 0600) when it is
    // missing, without waiting. Empty when someone else holds it; SystemError when the
    // file cannot be opened.
    static std::optional<FileLock> tryAcquire(const std::filesystem::path& path);

    FileLock(FileLock&&) noexcept = default;
    FileLock& operator=(FileLock&&) noexcept = default;

private:
    explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_; // closing it releases the lock
};

} // namespace installer::platform
