#include "transfer/resume_record.h"

#include <nlohmann/json.hpp>

namespace installer::transfer {

std::string encodeResumeRecord(const ResumeRecord& record) {
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
