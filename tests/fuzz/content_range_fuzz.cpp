#include "fuzz/fuzz.h"
#include "transfer/content_range.h"

#include <string>

using namespace installer;

namespace {

// What the header says, read apart from the code under test: the digits between a
// prefix and a terminator, or nothing.
std::optional<std::string> digitsAfter(std::string_view text, std::string_view prefix, bool toEnd) {
    if (!text.starts_with(prefix))
        return std::nullopt;
    text.remove_prefix(prefix.size());
    std::string digits;
    for (const char c : text) {
        if (!toEnd && c == '-')
            return digits.empty() ? std::nullopt : std::optional(digits);
        if (c < '0' || c > '9')
            return std::nullopt;
        digits.push_back(c);
    }
    return toEnd && !digits.empty() ? std::optional(digits) : std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = fuzz::text(data, size);
    const auto start = transfer::rangeStart(text);
    const auto startDigits = digitsAfter(text, "bytes ", false);
    fuzz::check(!start || (startDigits && std::stoll(*startDigits) == *start),
                "a range start is the decimal digits before the dash");
    fuzz::check(start || !startDigits || startDigits->size() >= 19,
                "every representable start is read");

    const auto length = transfer::unsatisfiedLength(text);
    fuzz::check(!length || text == "bytes */" + std::to_string(*length),
                "a refused range's length is written exactly");
    const auto lengthDigits = digitsAfter(text, "bytes */", true);
    fuzz::check(length || !lengthDigits || lengthDigits->size() >= 19 ||
                    (lengthDigits->size() > 1 && lengthDigits->front() == '0'),
                "every plainly written length is read");
    return 0;
}
