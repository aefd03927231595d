#include "platform/durable.h"

#include "platform/file.h"
#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace installer::platform {

namespace {

constexpr std::string_view syncAction = "无法同步到磁盘";

// fsync on macOS stops at the drive's own cache; only F_FULLFSYNC empties that, and it
// empties all of it, so one per tree is enough once every file had its fsync.
enum class Depth { intoDriveCache, throughDriveCache };

void syncDescriptor(int fd, Depth depth, const std::filesystem::path& path) {
#if defined(__APPLE__)
    if (depth == Depth::throughDriveCache && ::fcntl(fd, F_FULLFSYNC) == 0)
        return;
#else
    (void)depth;
#endif
    while (::fsync(fd) != 0) {
        // Folders of some file systems cannot be synced and need not be.
        if (errno == EINVAL || errno == ENOTSUP)
            return;
        if (errno != EINTR)
            throwSystemError(errno, syncAction, path);
    }
}

void syncOne(const std::filesystem::path& path, bool folder, Depth depth) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (folder ? O_DIRECTORY : 0);
    const UniqueFd fd(::open(path.c_str(), flags));
    if (!fd)
        throwSystemError(errno, syncAction, path);
    syncDescriptor(fd.get(), depth, path);
}

} // namespace

void syncPath(const std::filesystem::path& path) {
    std::error_code error;
    const bool folder = std::filesystem::is_directory(std::filesystem::symlink_status(path, error));
    syncOne(path, folder, Depth::throughDriveCache);
}

void syncTree(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<fs::path> folders;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error)
            break;
        if (fs::is_regular_file(status))
            syncOne(it->path(), false, Depth::intoDriveCache);
        else if (fs::is_directory(status))
            folders.push_back(it->path());
    }
    if (error)
        throwSystemError(error.value(), syncAction, root);
    // A folder after its entries: its names then point at contents already stored.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        syncOne(*folder, true, Depth::intoDriveCache);
    syncOne(root, fs::is_directory(fs::symlink_status(root, error)), Depth::throughDriveCache);
}

void writeFileDurably(const std::filesystem::path& path, std::string_view bytes) {
    writeFileAtomically(path, bytes,
                        [&](int fd) { syncDescriptor(fd, Depth::throughDriveCache, path); });
    syncPath(path.parent_path());
}

} // namespace installer::platform
