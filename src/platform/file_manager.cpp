#include "platform/file_manager.h"

#include "platform/durable.h"
#include "platform/file.h"
#include "platform/system_error.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::platform {

namespace {

// rename(2) silently replaces a file or an empty folder; a move must never do that.
int renameExclusive(const char* from, const char* to) {
#if defined(__APPLE__)
    return ::renamex_np(from, to, RENAME_EXCL);
#else
    const int result = ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (result == 0 || errno != EINVAL)
        return result;
    // A file system without exclusive renames: check, then rename.
    struct stat info {};
    if (::lstat(to, &info) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from, to);
#endif
}

} // namespace

bool FileManager::exists(const std::filesystem::path& path) const {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool FileManager::isWritable(const std::filesystem::path& folder) const {
    return ::access(folder.c_str(), W_OK) == 0;
}

void FileManager::move(const std::filesystem::path& from, const std::filesystem::path& to) const {
    if (renameExclusive(from.c_str(), to.c_str()) != 0)
        throwSystemError(errno, "无法移动“" + from.string() + "”", to);
}

void FileManager::createFolders(const std::filesystem::path& folder, unsigned mode) const {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode))
            throwSystemError(ENOTDIR, "无法创建文件夹", folder);
        return;
    }
    if (folder.has_parent_path() && folder.parent_path() != folder)
        createFolders(folder.parent_path(), mode);
    if (::mkdir(folder.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
        throwSystemError(errno, "无法创建文件夹", folder);
}

void FileManager::remove(const std::filesystem::path& path) const {
    std::error_code error;
    // A link goes by itself: what it points at is not ours to walk or to change.
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) {
        if (::unlink(path.c_str()) != 0)
            throwSystemError(errno, "无法删除", path);
        return;
    }
    // Copies of read-only trees (a mounted image keeps its modes) must still go.
    for (auto it = std::filesystem::recursive_directory_iterator(path, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    error.clear();
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path, error)))
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
    error.clear();
    if (std::filesystem::remove_all(path, error) == 0 && !error)
        error = std::make_error_code(std::errc::no_such_file_or_directory);
    if (error)
        throwSystemError(error.value(), "无法删除", path);
}

std::vector<std::filesystem::path> FileManager::list(const std::filesystem::path& folder) const {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        throwSystemError(errno, "无法列出文件夹内容", folder);
    DIR* dir = ::fdopendir(fd.get());
    if (!dir)
        throwSystemError(errno, "无法列出文件夹内容", folder);
    fd.release();
    std::unique_ptr<DIR, int (*)(DIR*)> owned(dir, &::closedir);
    std::vector<std::filesystem::path> entries;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            entries.push_back(folder / name);
    }
    return entries;
}

void FileManager::sync(const std::filesystem::path& path) const {
    syncPath(path, *disk_);
}

void FileManager::syncTree(const std::filesystem::path& root) const {
    platform::syncTree(root, *disk_);
}

void FileManager::writeDurably(const std::filesystem::path& path, std::string_view bytes) const {
    writeFileDurably(path, bytes, *disk_);
}

} // namespace installer::platform
