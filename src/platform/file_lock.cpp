#include "platform/file_lock.h"

#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace installer::platform {

std::optional<FileLock> FileLock::tryAcquire(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        throwSystemError(errno, "无法打开锁文件", path);
    for (;;) {
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            return FileLock(std::move(fd));
        if (errno == EWOULDBLOCK)
            return std::nullopt;
        if (errno != EINTR)
            throwSystemError(errno, "无法锁定文件", path);
    }
}

} // namespace installer::platform
