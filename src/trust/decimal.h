#pragma once

#include <cstdint>
#include <string_view>

namespace installer::trust {

// The whole text is one or more ASCII digits and the value fits in 64 bits.
bool parseDecimalDigits(std::string_view digits, std::uint64_t& value);

// The standard decimal rules every number read from text follows here: an optional
// single leading '+' or '-', then one or more ASCII digits and nothing else, the value
// within range. An unsigned value accepts '-' only for zero.
bool parseSignedDecimal(std::string_view text, std::int64_t& value);
bool parseUnsignedDecimal(std::string_view text, std::uint64_t& value);

} // namespace installer::trust
