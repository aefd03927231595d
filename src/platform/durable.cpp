#include "platform/durable.h"

#include "platform/file.h"
#include "platform/system_error.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace installer::platform {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view syncAction = "无法同步到磁盘";

// A sync mostly waits for the device, and one that many files wait on together lets the
// file system commit them in one go, so a tree is synced by more threads than cores.
constexpr std::size_t treeSyncThreads = 16;

void syncOne(const fs::path& path, bool folder, SyncDepth depth, const DiskSync& disk) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (folder ? O_DIRECTORY : 0);
    const UniqueFd fd(::open(path.c_str(), flags));
    if (!fd)
        throwSystemError(errno, syncAction, path);
    disk.sync(fd.get(), depth, path);
}

// Syncs every path, several at a time; the first error is thrown once all have stopped.
void syncAll(const std::vector<fs::path>& paths, bool folders, const DiskSync& disk) {
    std::atomic<std::size_t> next = 0;
    std::exception_ptr failure;
    std::mutex failureMutex;
    const auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            try {
                syncOne(paths[i], folders, SyncDepth::intoDriveCache, disk);
            } catch (...) {
                const std::lock_guard lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
                next = paths.size();
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t n = 1; n < std::min(treeSyncThreads, paths.size()); ++n)
            helpers.emplace_back(work);
        work();
    }
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace

void syncPath(const fs::path& path, const DiskSync& disk) {
    std::error_code error;
    const bool folder = fs::is_directory(fs::symlink_status(path, error));
    syncOne(path, folder, SyncDepth::throughDriveCache, disk);
}

void syncTree(const fs::path& root, const DiskSync& disk) {
    std::vector<fs::path> files;
    std::map<int, std::vector<fs::path>, std::greater<>> foldersByDepth;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error)
            break;
        if (fs::is_regular_file(status))
            files.push_back(it->path());
        else if (fs::is_directory(status))
            foldersByDepth[it.depth()].push_back(it->path());
    }
    if (error)
        throwSystemError(error.value(), syncAction, root);
    syncAll(files, false, disk);
    // A folder after its entries, the deepest first: its names then point at contents
    // already stored.
    for (const auto& [depth, folders] : foldersByDepth)
        syncAll(folders, true, disk);
    syncOne(root, fs::is_directory(fs::symlink_status(root, error)), SyncDepth::throughDriveCache,
            disk);
}

void writeFileDurably(const fs::path& path, std::string_view bytes, const DiskSync& disk) {
    // One flush, the folder's, stores both; the barrier keeps the new name from reaching
    // the medium ahead of what it names.
    writeFileAtomically(path, bytes,
                        [&](int fd) { disk.sync(fd, SyncDepth::beforeLaterWrites, path); });
    syncPath(path.parent_path(), disk);
}

} // namespace installer::platform
