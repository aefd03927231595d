#pragma once

#include <filesystem>

namespace installer::platform {

// How far a sync pushes what was written. On macOS fsync stops at the drive's own
// cache; only F_FULLFSYNC reaches the medium, and it empties the whole cache, for every
// file at once, so it is kept to one per durable step.
enum class SyncDepth { intoDriveCache, throughDriveCache };

// Where written data is pushed toward the disk. Virtual so that tests can count the
// flushes through the drive's cache, or hold a sync while writes go on beside it.
class DiskSync {
public:
    virtual ~DiskSync() = default;
    // `fd` is a regular file or a folder opened for reading; `path` names it in errors.
    // A folder on a file system that cannot sync folders is passed over. SystemError.
    virtual void sync(int fd, SyncDepth depth, const std::filesystem::path& path) const;
};

// The machine's own syncs; it holds no state.
const DiskSync& machineDiskSync();

} // namespace installer::platform
