#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace installer::transfer {

// The first byte of a "bytes A-B/N" range, A written in decimal digits only.
std::optional<std::int64_t> rangeStart(std::string_view contentRange);

// The length N of a refused range's "bytes */N", written exactly in decimal.
std::optional<std::int64_t> unsatisfiedLength(std::string_view contentRange);

} // namespace installer::transfer
