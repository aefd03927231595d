#include "fuzz/fuzz.h"
#include "release/json_reader.h"
#include "release/records.h"

using namespace installer::release;

// The release service's answer, the envelope and the manifest share the JSON reader.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = installer::fuzz::text(data, size);
    try {
        decodeResolveResponse(bytes);
    } catch (const DecodeError&) {
    }
    try {
        decodeSigned(bytes);
    } catch (const DecodeError&) {
    }
    try {
        decodeManifest(bytes);
    } catch (const DecodeError&) {
    }
    return 0;
}
