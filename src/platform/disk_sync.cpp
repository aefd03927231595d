#include "platform/disk_sync.h"

#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace installer::platform {

void DiskSync::sync(int fd, SyncDepth depth, const std::filesystem::path& path) const {
#if defined(__APPLE__)
    // A file system without barriers is flushed instead, which orders as well; one that
    // cannot flush through the cache either still takes the fsync below.
    if (depth == SyncDepth::beforeLaterWrites && ::fcntl(fd, F_BARRIERFSYNC) == 0)
        return;
    if (depth != SyncDepth::intoDriveCache && ::fcntl(fd, F_FULLFSYNC) == 0)
        return;
#else
    (void)depth; // fsync already waits for the drive's cache here
#endif
    while (::fsync(fd) != 0) {
        if (errno == EINVAL || errno == ENOTSUP)
            return;
        if (errno != EINTR)
            throwSystemError(errno, "无法同步到磁盘", path);
    }
}

void reserveSpace(int fd, std::int64_t from, std::int64_t length) noexcept {
    if (length <= 0)
        return;
#if defined(__APPLE__)
    // Counted from the file's physical end, which is where the appended bytes go.
    (void)from;
    fstore_t store{F_ALLOCATEALL, F_PEOFPOSMODE, 0, static_cast<off_t>(length), 0};
    ::fcntl(fd, F_PREALLOCATE, &store);
#elif defined(__linux__)
    ::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(length));
#else
    (void)fd, (void)from;
#endif
}

const DiskSync& machineDiskSync() {
    static const DiskSync machine;
    return machine;
}

} // namespace installer::platform
