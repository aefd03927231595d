#pragma once

#include "platform/disk_sync.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace installer::transfer {

// Resume records and the bodies they describe are only trusted while this small.
inline constexpr std::size_t resumeRecordLimit = 1'048'576;

// What continuing an interrupted transfer safely needs: where the bytes already on disk
// came from, how many of them reached the disk for certain, and which version of the
// file they are. Without a validator a continuation could splice two versions, so no
// record is made then.
struct ResumeRecord {
    std::string url;          // the transfer's start address
    std::string partialFile;  // file name, in the destination's folder
    std::int64_t bytes = 0;   // synced to the disk before the record was written
    std::string etag;         // strong entity tag, or empty
    std::string lastModified; // or empty

    // The If-Range value: a strong ETag, else the date.
    std::string validator() const { return etag.empty() ? lastModified : etag; }
};

// Whether a server's header value can be kept in a record and sent back as it came:
// UTF-8 without control characters.
bool storableText(std::string_view text);

// Nothing when a text field cannot be stored; never throws for a server's bytes.
std::optional<std::string> encodeResumeRecord(const ResumeRecord& record);
// Nothing for anything but a record of our own making with a validator.
std::optional<ResumeRecord> decodeResumeRecord(std::string_view text);

// Replaces the record file so that after a crash or power cut it holds the old record
// or the new one, whole: written beside it, synced, then renamed over it.
// `beforeRename`, when given, runs just before the rename; what it throws is thrown,
// and the old record stays.
void writeResumeRecord(const std::filesystem::path& file, std::string_view text,
                       const platform::DiskSync& disk = platform::machineDiskSync(),
                       const std::function<void()>& beforeRename = {});

} // namespace installer::transfer
