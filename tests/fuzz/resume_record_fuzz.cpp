#include "fuzz/fuzz.h"
#include "transfer/resume_record.h"

using namespace installer::transfer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto record = decodeResumeRecord(installer::fuzz::text(data, size));
    if (!record)
        return 0;
    // Validators that cannot be stored are dropped on the way out, never thrown about.
    const auto text = encodeResumeRecord(*record);
    if (!text)
        return 0;
    const auto again = decodeResumeRecord(*text);
    installer::fuzz::check(again && again->url == record->url &&
                               again->partialFile == record->partialFile &&
                               again->bytes == record->bytes && again->etag == record->etag &&
                               again->lastModified == record->lastModified,
                           "a record survives being written and read");
    return 0;
}
