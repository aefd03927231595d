#include "fuzz/fuzz.h"
#include "platform/property_list.h"

FUZZ_TARGET(data, size) {
    try {
        installer::platform::parsePropertyList(installer::fuzz::text(data, size));
    } catch (const installer::platform::PropertyListError&) {
    }
    return 0;
}
