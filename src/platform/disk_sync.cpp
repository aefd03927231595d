#include "platform/disk_sync.h"

#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace installer::platform {

void DiskSync::sync(int fd, SyncDepth depth, const std::filesystem::path& path) const {
#if defined(__APPLE__)
    // A file system that cannot flush through the cache still takes the fsync below.
    if (depth == SyncDepth::throughDriveCache && ::fcntl(fd, F_FULLFSYNC) == 0)
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

const DiskSync& machineDiskSync() {
    static const DiskSync machine;
    return machine;
}

} // namespace installer::platform
