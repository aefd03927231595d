#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace installer::transfer {

// Resume records and the bodies they describe are only trusted while this small.
inline constexpr std::size_t resumeRecordLimit = 1'048'576;

// What continuing an interrupted transfer safely needs: where the bytes already on disk
// came from and which version of the file they are. Without a validator a continuation
// could splice two versions, so no record is made then.
struct ResumeRecord {
    std::string url;  // the transfer's start address
    std::string partialFile;  // file name, in the destination's folder
    std::int64_t bytes = 0;
    std::string etag;  // strong entity tag, or empty
    std::string lastModified;  // or empty

    // The If-Range value: a strong ETag, else the date.
    std::string validator() const { return etag.empty() ? lastModified : etag; }
};

std::string encodeResumeRecord(const ResumeRecord& record);
// Nothing for anything but a record of our own making with a validator.
std::optional<ResumeRecord> decodeResumeRecord(std::string_view text);

} // namespace installer::transfer
