#include "fuzz/fuzz.h"
#include "release/json_reader.h"
#include "release/settings.h"

FUZZ_TARGET(data, size) {
    try {
        installer::release::decodeSettings(installer::fuzz::text(data, size));
    } catch (const installer::release::DecodeError&) {
    }
    return 0;
}
