#include "ui/megabytes.h"

#include <charconv>
#include <cmath>

namespace installer::ui {

std::string megabytes(std::int64_t bytes) {
    const double quotient = static_cast<double>(bytes) / 1'000'000;
    const int decimals = std::round(quotient) == quotient ? 0 : 1;
    // to_chars never consults the locale, unlike printf once Qt has set it from the
    // environment.
    char digits[64];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), quotient,
                                   std::chars_format::fixed, decimals)
                         .ptr;
    return std::string(digits, end) + " MB";
}

} // namespace installer::ui
