#include "transfer/content_range.h"

#include <charconv>

namespace installer::transfer {

namespace {

// Digits only, all of them: a sign, a blank or a trailing letter makes no count.
std::optional<std::int64_t> parseCount(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    std::int64_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::int64_t> rangeStart(std::string_view contentRange) {
    constexpr std::string_view unit = "bytes ";
    if (!contentRange.starts_with(unit))
        return std::nullopt;
    contentRange.remove_prefix(unit.size());
    const auto dash = contentRange.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    return parseCount(contentRange.substr(0, dash));
}

std::optional<std::int64_t> unsatisfiedLength(std::string_view contentRange) {
    constexpr std::string_view unit = "bytes */";
    if (!contentRange.starts_with(unit))
        return std::nullopt;
    contentRange.remove_prefix(unit.size());
    const auto length = parseCount(contentRange);
    // Leading zeros would let two texts name one length; the server writes it plainly.
    return length && (contentRange.size() == 1 || contentRange.front() != '0') ? length
                                                                               : std::nullopt;
}

} // namespace installer::transfer
