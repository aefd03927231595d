#pragma once

#include "platform/disk_sync.h"

#include <atomic>
#include <filesystem>

namespace installer::bench {

// The machine's syncs, counting the flushes through the drive's cache.
class CountingSync final : public platform::DiskSync {
public:
    mutable std::atomic<int> fullFlushes = 0;
    void sync(int fd, platform::SyncDepth depth, const std::filesystem::path& path) const override {
        fullFlushes += depth == platform::SyncDepth::throughDriveCache;
        DiskSync::sync(fd, depth, path);
    }
};

} // namespace installer::bench
