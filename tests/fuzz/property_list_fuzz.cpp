#include "fuzz/fuzz.h"
#include "platform/property_list.h"

#include <string_view>

namespace {

using installer::platform::PlistValue;

// Strict UTF-8, judged apart from the readers' own checks.
bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || text.size() - i <= extra)
            return false;
        std::uint32_t point = extra == 0 ? lead : lead & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3F);
        }
        if ((extra == 2 && point < 0x800) ||
            (extra == 3 && (point < 0x10000 || point > 0x10FFFF)) ||
            (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += 1 + extra;
    }
    return true;
}

// Whatever a list holds, every text read from it is text a caller can print.
void checkTexts(const PlistValue& value) {
    if (value.kind == PlistValue::Kind::string)
        installer::fuzz::check(isUtf8(value.text), "every string is UTF-8");
    for (const auto& item : value.items)
        checkTexts(item);
    for (const auto& member : value.members) {
        installer::fuzz::check(isUtf8(member.key), "every key is UTF-8");
        checkTexts(member.value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        checkTexts(installer::platform::parsePropertyList(installer::fuzz::text(data, size)));
    } catch (const installer::platform::PropertyListError&) {
    }
    return 0;
}
