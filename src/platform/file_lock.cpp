#include "platform/file_lock.h"

#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::platform {

namespace {

// True once locked, false when `nonBlocking` and another holds a conflicting lock.
bool lock(int fd, int operation, const std::filesystem::path& path) {
    for (;;) {
        if (::flock(fd, operation) == 0)
            return true;
        if (errno == EWOULDBLOCK && (operation & LOCK_NB))
            return false;
        if (errno != EINTR)
            throwSystemError(errno, "无法锁定文件", path);
    }
}

UniqueFd openExisting(const std::filesystem::path& path) {
    // Not blocking on open: a FIFO at the path must not stall the installer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        throwSystemError(errno, "无法打开锁文件", path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throwSystemError(errno, "无法打开锁文件", path);
    if (!S_ISREG(info.st_mode))
        throwSystemError(EINVAL, "无法打开锁文件", path);
    return fd;
}

} // namespace

std::optional<FileLock> FileLock::tryAcquire(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd)
        throwSystemError(errno, "无法打开锁文件", path);
    // The umask may have taken the others' read bit; without it their installers could
    // not open the file, and so could never meet this lock.
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0 && info.st_uid == ::geteuid())
        (void)::fchmod(fd.get(), 0644);
    if (!lock(fd.get(), LOCK_EX | LOCK_NB, path))
        return std::nullopt;
    return FileLock(std::move(fd));
}

FileLock FileLock::shared(const std::filesystem::path& path) {
    UniqueFd fd = openExisting(path);
    lock(fd.get(), LOCK_SH, path);
    return FileLock(std::move(fd));
}

std::optional<FileLock> FileLock::tryExclusive(const std::filesystem::path& path) {
    UniqueFd fd = openExisting(path);
    if (!lock(fd.get(), LOCK_EX | LOCK_NB, path))
        return std::nullopt;
    return FileLock(std::move(fd));
}

} // namespace installer::platform
