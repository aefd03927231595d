#include "trust/date_time.h"

#include <gtest/gtest.h>

namespace installer::trust {
namespace {

using namespace std::chrono;

TEST(InternetDateTime, ReadsUtcAndOffsetsAsTheSameInstant) {
    const auto utc = parseInternetDateTime("2025-03-01T08:00:00Z");
    ASSERT_TRUE(utc);
    EXPECT_EQ(utc->time_since_epoch().count(), 1740816000);
    EXPECT_EQ(parseInternetDateTime("2025-03-01T16:00:00+08:00"), utc);
    EXPECT_EQ(parseInternetDateTime("2025-03-01T02:30:00-05:30"), utc);
    EXPECT_EQ(parseInternetDateTime("2024-02-29T23:59:59Z")->time_since_epoch().count(),
              1709251199);
    EXPECT_EQ(parseInternetDateTime("1969-12-31T23:59:59Z")->time_since_epoch().count(), -1);
}

TEST(InternetDateTime, RefusesAnythingButTheInternetForm) {
    const char* refused[] = {
        "2025-03-01T08:00:00",        // no zone
        "2025-03-01T08:00:00.5Z",     // fractional seconds
        "2025-03-01 08:00:00Z",       // no T
        "2025-03-01t08:00:00Z",
        "2025-03-01T08:00:00z",
        "2025-03-01T08:00Z",          // no seconds
        "2025-3-01T08:00:00Z",
        "2025-03-01T08:00:00+0800",   // zone without colon
        "2025-03-01T08:00:00+24:00",
        "2025-03-01T08:00:00+08:60",
        "2025-02-29T08:00:00Z",       // not a leap year
        "2025-13-01T08:00:00Z",
        "2025-00-10T08:00:00Z",
        "2025-04-31T08:00:00Z",
        "2025-03-01T24:00:00Z",
        "2025-03-01T08:60:00Z",
        "2025-03-01T08:00:60Z",
        " 2025-03-01T08:00:00Z",
        "2025-03-01T08:00:00Z\n",
        "+025-03-01T08:00:00Z",
        "２０２５-03-01T08:00:00Z",
        "",
    };
    for (const char* text : refused)
        EXPECT_FALSE(parseInternetDateTime(text)) << text;
}

} // namespace
} // namespace installer::trust
