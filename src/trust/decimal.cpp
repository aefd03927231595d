#include "trust/decimal.h"

#include "trust/anchored.h"

#include <charconv>
#include <limits>

namespace installer::trust {

bool parseDecimalDigits(std::string_view digits, std::uint64_t& value) {
    if (digits.empty())
        return false;
    for (const char c : digits)
        if (!isAsciiDigit(static_cast<unsigned char>(c)))
            return false;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size();
}

bool parseUnsignedDecimal(std::string_view text, std::uint64_t& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (!parseDecimalDigits(text, value))
        return false;
    return !negative || value == 0;
}

bool parseSignedDecimal(std::string_view text, std::int64_t& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    if (!parseDecimalDigits(text, magnitude))
        return false;
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > max + 1)
            return false;
        value = magnitude == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                     : -static_cast<std::int64_t>(magnitude);
    } else {
        if (magnitude > max)
            return false;
        value = static_cast<std::int64_t>(magnitude);
    }
    return true;
}

} // namespace installer::trust
