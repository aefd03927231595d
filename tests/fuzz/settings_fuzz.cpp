#include "fuzz/fuzz.h"
#include "release/json_reader.h"
#include "release/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        installer::release::decodeSettings(installer::fuzz::text(data, size));
    } catch (const installer::release::DecodeError&) {
    }
    return 0;
}
