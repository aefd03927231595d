#include "fuzz/fuzz.h"
#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        installer::platform::parsePropertyList(installer::fuzz::text(data, size));
    } catch (const installer::platform::PropertyListError&) {
    }
    return 0;
}
