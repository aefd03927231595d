#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace installer::trust {

// An ISO 8601 internet date-time: YYYY-MM-DDTHH:MM:SS followed by Z or ±hh:mm, with
// no fractional seconds and nothing before or after. Nothing when the text is not one.
std::optional<std::chrono::sys_seconds> parseInternetDateTime(std::string_view text);

} // namespace installer::trust
