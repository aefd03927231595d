#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace installer::trust {

using Version = std::array<std::uint64_t, 3>;

// Strict major.minor.patch: decimal parts without leading zeros, each at most
// 4,294,967,295. Throws "版本格式无效" for the wrong form, "版本无效" for a part that
// does not fit or does not parse.
Version version(std::string_view text);

// 1 when a is the greater version, -1 when smaller, 0 when equal; a is parsed first.
int compare(std::string_view a, std::string_view b);

} // namespace installer::trust
