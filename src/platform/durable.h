#pragma once

#include "platform/disk_sync.h"

#include <filesystem>
#include <string_view>

namespace installer::platform {

// What a power loss may undo unless it is synced: file contents still in the cache,
// and names a folder gained or lost by creating, renaming or removing entries.

// Pushes one file's contents, or one folder's entries, to the storage device.
// SystemError.
void syncPath(const std::filesystem::path& path, const DiskSync& disk = machineDiskSync());

// Every regular file and folder under root and root itself, so that once it returns the
// whole tree survives a power loss: the files first, several at a time, then each folder
// after everything in it, root last and through the drive's cache. Links are not
// followed. SystemError.
void syncTree(const std::filesystem::path& root, const DiskSync& disk = machineDiskSync());

// Replaces the file at path so that, even across a power loss, a reader finds the old
// content or the new, never a part and never nothing: written and synced under a
// temporary name, renamed over it, then the folder synced. SystemError.
void writeFileDurably(const std::filesystem::path& path, std::string_view bytes,
                      const DiskSync& disk = machineDiskSync());

} // namespace installer::platform
