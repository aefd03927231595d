#pragma once

#include <cstdint>
#include <filesystem>

namespace installer::platform {

// How far a sync pushes what was written. On macOS fsync stops at the drive's own
// cache, which may store later writes first; only F_FULLFSYNC reaches the medium, and it
// empties the whole cache, for every file at once, so it is kept to one per durable step.
// A barrier costs no flush: it only keeps later writes from reaching the medium before
// this file's, so a rename after it never names contents a power cut lost, once a flush
// (of its folder, say) has followed.
enum class SyncDepth { intoDriveCache, beforeLaterWrites, throughDriveCache };

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

// Sets aside room on the disk for `length` bytes about to be appended at `from`, without
// changing the file's size. A sync then only writes them: finding room for them first
// would hold up every write to the same file meanwhile, for as long as a busy disk takes.
// Best effort: where it cannot be done, the writes find their room as they go.
void reserveSpace(int fd, std::int64_t from, std::int64_t length) noexcept;

} // namespace installer::platform
