#pragma once

#include "platform/disk_sync.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace installer::platform {

// The file operations of an install transaction. Virtual so that tests can make one
// operation fail, or stop the process at a chosen move, without faking the rest.
class FileManager {
public:
    explicit FileManager(const DiskSync& disk = machineDiskSync()) : disk_(&disk) {}
    virtual ~FileManager() = default;

    // Something is at the path (links followed: a dangling link is nothing).
    virtual bool exists(const std::filesystem::path& path) const;
    // This process may create and remove entries in the folder.
    virtual bool isWritable(const std::filesystem::path& folder) const;
    // Renames an entry; refuses to replace anything already at `to`. SystemError.
    virtual void move(const std::filesystem::path& from, const std::filesystem::path& to) const;
    // Creates the folder and any missing parents, each with `mode` (before the umask);
    // a folder already there is left as it is. SystemError.
    virtual void createFolders(const std::filesystem::path& folder, unsigned mode) const;
    // Removes an entry and everything in it; a link is removed, never followed. SystemError.
    virtual void remove(const std::filesystem::path& path) const;
    // The folder's entries, hidden ones included, in no particular order. SystemError.
    virtual std::vector<std::filesystem::path> list(const std::filesystem::path& folder) const;
    // Makes a file's contents or a folder's entries survive a power loss. SystemError.
    virtual void sync(const std::filesystem::path& path) const;
    // The same for every file and folder of a tree, links not followed. SystemError.
    virtual void syncTree(const std::filesystem::path& root) const;
    // Replaces a file so that even a power loss leaves the old content or the new,
    // never a part. SystemError.
    virtual void writeDurably(const std::filesystem::path& path, std::string_view bytes) const;

private:
    const DiskSync* disk_;
};

} // namespace installer::platform
