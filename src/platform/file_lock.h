#pragma once

#include "platform/file.h"

#include <filesystem>
#include <optional>

namespace installer::platform {

// An advisory lock (flock) on a file, held for as long as this object lives. It belongs
// to this open of the file: a conflicting FileLock on the same file, in this process or
// another, is refused while the first lives, and a process that dies, however it dies,
// releases it. Tools the installer starts never inherit it. Files are opened for reading
// only, so users who may not write a lock file can still take its lock.
class FileLock {
public:
    // Takes the exclusive lock of the file at path, creating the file when it is missing
    // (readable by everyone, so every user's installer can lock it), without waiting.
    // Empty when someone else holds it; SystemError when the file cannot be opened.
    static std::optional<FileLock> tryAcquire(const std::filesystem::path& path);

    // Locks an existing regular file, which is never created. `shared` waits while an
    // exclusive lock is held; `tryExclusive` is empty at once while any lock is held.
    // SystemError when the path is no regular file or cannot be opened.
    static FileLock shared(const std::filesystem::path& path);
    static std::optional<FileLock> tryExclusive(const std::filesystem::path& path);

    FileLock(FileLock&&) noexcept = default;
    FileLock& operator=(FileLock&&) noexcept = default;

private:
    explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_; // closing it releases the lock
};

} // namespace installer::platform
