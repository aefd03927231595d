#include "fuzz/fuzz.h"
#include "trust/date_time.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // 0000-01-01T00:00:00 and 9999-12-31T23:59:59, each a day wider for the zone.
    constexpr long long first = -62'167'219'200 - 86'400;
    constexpr long long last = 253'402'300'799 + 86'400;
    if (const auto time =
            installer::trust::parseInternetDateTime(installer::fuzz::text(data, size))) {
        const long long seconds = time->time_since_epoch().count();
        installer::fuzz::check(seconds >= first && seconds <= last, "years 0000 to 9999");
    }
    return 0;
}
