#include "trust/date_time.h"

#include "trust/anchored.h"

namespace installer::trust {

namespace {

// Reads exactly `count` ASCII digits at `at`.
bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!isAsciiDigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

std::optional<std::chrono::sys_seconds> parseInternetDateTime(std::string_view text) {
    using namespace std::chrono;
    // 2025-03-01T08:00:00Z is 20 characters, 2025-03-01T08:00:00+08:00 is 25.
    if (text.size() != 20 && text.size() != 25)
        return std::nullopt;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, 0, 4, year) || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || text[10] != 'T' ||
        !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) ||
        text[16] != ':' || !digits(text, 17, 2, second))
        return std::nullopt;
    const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;

    int offsetSeconds = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z')
            return std::nullopt;
    } else {
        int offsetHours = 0, offsetMinutes = 0;
        const char sign = text[19];
        if ((sign != '+' && sign != '-') || !digits(text, 20, 2, offsetHours) || text[22] != ':' ||
            !digits(text, 23, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (sign == '-' ? -1 : 1);
    }
    // The local time minus its offset is the instant.
    return sys_days(date) + hours(hour) + minutes(minute) + seconds(second) -
           seconds(offsetSeconds);
}

} // namespace installer::trust
