#include "fuzz/fuzz.h"
#include "transfer/resume_record.h"

using namespace installer::transfer;

FUZZ_TARGET(data, size) {
    const auto record = decodeResumeRecord(installer::fuzz::text(data, size));
    if (!record)
        return 0;
    const auto again = decodeResumeRecord(encodeResumeRecord(*record));
    installer::fuzz::check(again && again->url == record->url &&
                               again->partialFile == record->partialFile &&
                               again->bytes == record->bytes && again->etag == record->etag &&
                               again->lastModified == record->lastModified,
                           "a record survives being written and read");
    return 0;
}
