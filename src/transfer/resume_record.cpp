#include "transfer/resume_record.h"

#include "platform/file.h"
#include "platform/scope_exit.h"
#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

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

void writeResumeRecord(const std::filesystem::path& file, std::string_view text) {
    constexpr std::string_view action = "无法写入文件";
    std::string temporary = file.string() + ".XXXXXX";
    platform::UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd)
        platform::throwSystemError(errno, action, file);
    bool renamed = false;
    const platform::ScopeExit removeTemporary([&] {
        if (!renamed)
            ::unlink(temporary.c_str());
    });
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t put = ::write(fd.get(), text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            platform::throwSystemError(errno, action, file);
        done += static_cast<std::size_t>(put);
    }
    if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0)
        platform::throwSystemError(errno, action, file);
    if (::rename(temporary.c_str(), file.c_str()) != 0)
        platform::throwSystemError(errno, action, file);
    renamed = true;
}

} // namespace installer::transfer
