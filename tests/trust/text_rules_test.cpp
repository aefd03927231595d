#include "platform/installer_error.h"
#include "trust/base64url.h"
#include "trust/date_time.h"
#include "trust/trusted_url.h"
#include "trust/version.h"

#include <gtest/gtest.h>

namespace installer::trust {
namespace {

using namespace std::string_literals;

template <typename Call> std::string outcome(Call call) {
    try {
        return call();
    } catch (const InstallerError& error) {
        return error.what();
    }
}

TEST(Decode64, AcceptsUnpaddedBase64urlOnly) {
    constexpr auto bad = "签名数据无效";
    const struct {
        std::string text, expected;
    } cases[] = {
        {"QUJD", "ABC"}, {"QUI", "AB"},   {"QQ", "A"},     {"-_-_", "\xfb\xff\xbf"},
        {"", bad},       {"QUJDR", bad},  {"QUI=", bad},   {"ab+c", bad},
        {"ab/c", bad},   {"QUJD\n", bad}, {"QU\0D"s, bad},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome([&] { return decode64(c.text); }), c.expected) << c.text;
}

TEST(VersionText, ParsesStrictThreePartVersionsAndNamesTheFault) {
    constexpr auto form = "版本格式无效", value = "版本无效";
    // ICU's $ lets one final line terminator through; the last part then fails to parse.
    const struct {
        std::string text, expected;
    } cases[] = {
        {"1.2.3", "{ 1, 2, 3 }"},
        {"4294967295.0.10", "{ 4294967295, 0, 10 }"},
        {"01.2.3", form},
        {"1.2", form},
        {"1.2.3.4", form},
        {"", form},
        {"1.2.3\n\n", form},
        {"1.2.3\0"s, form},
        {"4294967296.0.0", value},
        {"99999999999999999999.0.0", value},
        {"1.2.3\r\n", value},
        {"1.2.3\n", value},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome([&] { return ::testing::PrintToString(version(c.text)); }), c.expected)
            << '"' << c.text << '"';
}

TEST(VersionOrder, ComparesNumericallyAndReportsTheFirstBadArgument) {
    EXPECT_EQ(compare("1.10.0", "1.9.9"), 1);
    EXPECT_EQ(compare("1.0.5", "1.1.0"), -1);
    EXPECT_EQ(outcome([] { return std::to_string(compare("1.0", "4294967296.0.0")); }),
              "版本格式无效");
}

TEST(InternetDateTime, ReadsEveryYearExactlyAndNothingButTheInternetForm) {
    const struct {
        const char* text;
        std::optional<std::int64_t> seconds;
    } cases[] = {
        {"2025-03-01T08:00:00Z", 1740816000},
        {"2024-02-29T23:59:59Z", 1709251199},
        {"0000-01-01T00:00:00Z", -62167219200},
        {"9999-12-31T23:59:59Z", 253402300799},
        {"2025-03-01T08:00:00", {}}, // no zone
        {"2025-03-01 08:00:00Z", {}},
        {"2025-02-29T08:00:00Z", {}}, // not a leap year
        {"2025-03-01T24:00:00Z", {}},
        {"2025-03-01T08:00:60Z", {}},
        {"+025-03-01T08:00:00Z", {}},
    };
    for (const auto& c : cases) {
        const auto time = parseInternetDateTime(c.text);
        EXPECT_EQ(time ? std::optional(time->time_since_epoch().count()) : std::nullopt, c.seconds)
            << c.text;
    }
}

TEST(TrustedURL, HttpsOnAListedHostWithAnyPathAndNothingElse) {
    release::Settings settings;
    settings.downloadHosts = {"cdn.tavelo.example"};
    const struct {
        std::string url;
        bool trusted;
    } cases[] = {
        {"https://cdn.tavelo.example/a/b/AI.dmg", true},
        {"https://cdn.tavelo.example", true},
        {"https://cdn.tavelo.example:443/x.dmg", true},
        {"https://cdn.tavelo.example/%E6%BE%84.dmg", true},
        {"https://cdn.tavelo.example/a;b=c/@x:y", true},
        {"https://cdn.tavelo.example:44300/x.dmg", false},
        {"http://cdn.tavelo.example/x.dmg", false},
        {"HTTPS://cdn.tavelo.example/x.dmg", false},
        {"https://cdn.tavelo.example/x.dmg?", false},
        {"https://cdn.tavelo.example/x.dmg#", false},
        {"https://user@cdn.tavelo.example/x.dmg", false},
        {"https://evil.cdn.tavelo.example/x.dmg", false},
        {"https://cdn.tavelo.example.evil/x.dmg", false},
        {"https://CDN.tavelo.example/x.dmg", false},
        {"https://%63dn.tavelo.example/x.dmg", false},
        {"https://cdn.tavelo.example/a b.dmg", false},
        {"https://cdn.tavelo.example/\xE6\xBE\x84.dmg", false},
        {"https://cdn.tavelo.example/\0x"s, false},
        {"https://cdn.tavelo.example/%4", false},
        {"https://cdn.tavelo.example:44x/x.dmg", false},
        {"//cdn.tavelo.example/x.dmg", false},
    };
    for (const auto& c : cases) {
        const auto url = outcome([&] { return trustedURL(c.url, settings).text; });
        EXPECT_EQ(url, c.trusted ? c.url : "下载地址不受信任") << c.url;
    }
}

TEST(UrlSplitter, SplitsEveryPartAndKeepsEachAsWritten) {
    const auto url = parseUrl("https://u:pw@[fe80::1]:8443/a/b?q=1/2?#f?/");
    ASSERT_TRUE(url);
    EXPECT_EQ(std::tie(url->user, url->password, url->host, url->port, url->path, url->query,
                       url->fragment),
              std::make_tuple("u", "pw", "fe80::1", "8443", "/a/b", "q=1/2?", "f?/"));
    for (const char* text : {"1https://h/", "https://[fe80::1/", "https://[]/"})
        EXPECT_FALSE(parseUrl(text)) << text;
}

} // namespace
} // namespace installer::trust
