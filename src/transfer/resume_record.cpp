#include "transfer/resume_record.h"

#include "platform/file.h"

#include <nlohmann/json.hpp>

namespace installer::transfer {

bool storableText(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        // The length of a well-formed sequence, and the range of its second byte, which
        // excludes overlong forms, surrogates and values past U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            length = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            length = 3;
            low = c == 0xe0 ? 0xa0 : 0x80;
            high = c == 0xed ? 0x9f : 0xbf;
        } else if (c >= 0xf0 && c <= 0xf4) {
            length = 4;
            low = c == 0xf0 ? 0x90 : 0x80;
            high = c == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf))
                return false;
        }
        i += length;
    }
    return true;
}

std::optional<std::string> encodeResumeRecord(const ResumeRecord& record) {
    for (const std::string* text :
         {&record.url, &record.partialFile, &record.etag, &record.lastModified})
        if (!storableText(*text))
            return std::nullopt;
    const nlohmann::ordered_json json = {{"url", record.url},
                                         {"partialFile", record.partialFile},
                                         {"bytes", record.bytes},
                                         {"etag", record.etag},
                                         {"lastModified", record.lastModified}};
    return json.dump();
}

std::optional<ResumeRecord> decodeResumeRecord(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    const auto text_of = [&](const char* key) -> std::optional<std::string> {
        const auto found = json.find(key);
        if (found == json.end() || !found->is_string())
            return std::nullopt;
        return found->get<std::string>();
    };
    ResumeRecord record;
    const auto url = text_of("url"), partial = text_of("partialFile"), etag = text_of("etag"),
               lastModified = text_of("lastModified");
    const auto bytes = json.find("bytes");
    if (!url || !partial || !etag || !lastModified || bytes == json.end() ||
        !bytes->is_number_integer())
        return std::nullopt;
    record.url = *url;
    record.partialFile = *partial;
    record.etag = *etag;
    record.lastModified = *lastModified;
    record.bytes = bytes->get<std::int64_t>();
    // The partial body must be a plain name beside the destination, never a path.
    const std::filesystem::path name(record.partialFile);
    if (record.bytes <= 0 || record.partialFile.empty() || name.has_parent_path() ||
        record.partialFile == "." || record.partialFile == ".." || record.validator().empty() ||
        record.etag.rfind("W/", 0) == 0)
        return std::nullopt;
    return record;
}

} // namespace installer::transfer

namespace installer::transfer {

void writeResumeRecord(const std::filesystem::path& file, std::string_view text,
                       const platform::DiskSync& disk, const std::function<void()>& beforeRename) {
    // Only into the drive's cache: the bytes it counts were flushed through it before
    // it was written, and a record lost to a power cut leaves the older one, or none.
    platform::writeFileAtomically(file, text, [&](int fd) {
        disk.sync(fd, platform::SyncDepth::intoDriveCache, file);
        if (beforeRename)
            beforeRename();
    });
}

} // namespace installer::transfer
