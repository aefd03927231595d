#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "trust/base64url.h"
#include "trust/bundle_version.h"
#include "trust/crypto.h"
#include "trust/date_time.h"
#include "trust/trusted_url.h"
#include "trust/verify.h"
#include "trust/verify_file.h"
#include "trust/version.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace installer::trust {
namespace {

using testing::FakeSystem;
using testing::outcome;
using testing::Signer;
using testing::TempDir;
using Json = nlohmann::ordered_json;
using namespace std::string_literals;

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
        {"01.2.3", form}, // no leading zeros
        {"1.2", form},
        {"1.2.3\0"s, form},
        {"4294967296.0.0", value},
        {"1.2.3\r\n", value},
        {"1.2.3\n", value},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome([&] { return ::testing::PrintToString(version(c.text)); }), c.expected)
            << '"' << c.text << '"';
}

TEST(InternetDateTime, ReadsEveryYearExactlyAndNothingButTheInternetForm) {
    const struct {
        const char* text;
        std::optional<std::int64_t> seconds;
    } cases[] = {
        {"2024-02-29T23:59:59Z", 1709251199},
        {"0000-01-01T00:00:00Z", -62167219200},
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
        {"https://cdn.tavelo.example/x.dmg?", false},
        {"https://cdn.tavelo.example/x.dmg#", false},
        {"https://user@cdn.tavelo.example/x.dmg", false},
        {"https://evil.cdn.tavelo.example/x.dmg", false},
        {"https://cdn.tavelo.example.evil/x.dmg", false},
        {"https://%63dn.tavelo.example/x.dmg", false},
        {"https://cdn.tavelo.example/\0x"s, false},
        {"https://cdn.tavelo.example/%4", false},
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

constexpr auto refused = "目标不是澄翎网盘应用";

std::string readBundle(const std::filesystem::path& bundle) {
    return outcome([&] {
        const auto read = bundleVersion(bundle, "com.tavelo.desktop");
        return read.version + "/" + std::to_string(read.build);
    });
}

// An XML Info.plist; values not written as elements are strings, empty ones left out.
std::string info(const std::string& id, const std::string& version, const std::string& build) {
    const std::pair<const char*, std::string> entries[] = {{"CFBundleIdentifier", id},
                                                           {"CFBundleShortVersionString", version},
                                                           {"CFBundleVersion", build}};
    std::string members;
    for (const auto& [key, value] : entries)
        if (!value.empty())
            members += "<key>"s + key + "</key>" +
                       (value[0] == '<' ? value : "<string>" + value + "</string>");
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + members + "</dict></plist>";
}

TEST(BundleVersion, ReadsTheIdentifierVersionAndBuildWhollyFromABundleOnly) {
    TempDir dir;
    const auto app = "com.tavelo.desktop";
    const struct {
        std::string plist;
        std::string expected;
    } cases[] = {
        {info(app, "1.4.2", "22"), "1.4.2/22"},
        {info(app, "1.4.2", "+22"), "1.4.2/22"},
        {info(app, "1.4.2", "18446744073709551615"), "1.4.2/18446744073709551615"},
        {info(app, "1.4.2", "18446744073709551616"), "1.4.2/0"},
        {info(app, "1.4.2", "-1"), "1.4.2/0"},
        {info(app, "1.4.2", "22&#0;"), "1.4.2/0"},
        {info(app, "1.4.2&#0;x", ""), "1.4.2\0x/0"s},
        {info("com.tavelo.desktop.sit", "1.0.0", ""), refused},
        {info("com.tavelo.desktop&#0;x", "1.0.0", ""), refused},
        {info("<integer>7</integer>", "1.0.0", ""), refused},
        {info(app, "", "1"), refused},
        {info(app, "<integer>1</integer>", ""), refused},
        {"<plist><dict><key>", refused},
    };
    std::filesystem::create_directories(dir / "b.app/Contents");
    for (const auto& c : cases) {
        testing::writeFile(dir / "b.app/Contents/Info.plist", c.plist);
        EXPECT_EQ(readBundle(dir / "b.app"), c.expected) << c.plist;
    }
    testing::writeFile(dir / "b.app/Contents/Info.plist",
                       testing::binaryPlist(info("com.tavelo.desktop", "1.4.2", "42")));
    EXPECT_EQ(readBundle(dir / "b.app"), "1.4.2/42");
    EXPECT_EQ(readBundle(dir / "missing.app"), refused);
}

constexpr auto policy = "发布清单已过期或不兼容";

class Verify : public ::testing::Test {
protected:
    FakeSystem system; // arm64, 13.4.0, 2026-01-01T00:00:00Z
    Signer signer;
    release::Settings settings = testing::settingsFor(signer);
    std::string payload = testing::validManifest(system).dump();

    std::string outcomeWith(const std::vector<std::pair<const char*, Json>>& changes) const {
        Json manifest = testing::validManifest(system);
        for (const auto& [pointer, value] : changes)
            manifest[Json::json_pointer(pointer)] = value;
        return outcome([&] { verify(signer.sign(manifest.dump()), settings, system); });
    }
};

TEST_F(Verify, EnvelopeFaultsAreCaughtBeforeTheManifestIsRead) {
    std::string tampered = payload;
    tampered[tampered.find("1.4.2")] = '9';
    const release::Signed good = signer.sign(payload);
    const struct {
        std::function<void(release::Signed&)> change;
        const char* expected;
    } cases[] = {
        {[](auto& e) { e.keyId = "Prod-release-v1"; }, "发布密钥未知"},
        // Oversized is refused as an unknown key, before any decoding.
        {[](auto& e) { e.payloadBase64url = std::string(90'000, 'A'); }, "发布密钥未知"},
        {[](auto& e) { e.payloadBase64url = std::string(89'999, 'A'); }, "发布签名无效"},
        {[](auto& e) { e.signature = "not base64!"; }, "签名数据无效"},
        {[&](auto& e) { e.payloadBase64url = encode64(tampered); }, "发布签名无效"},
        {[&](auto& e) {
             e.signature = encode64(signing::sign(signer.keys.privateKeyPem, e.payloadBase64url));
         },
         "发布签名无效"}, // signed over the text, not the bytes
        {[&](auto& e) { e = Signer().sign(payload); }, "发布签名无效"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        release::Signed envelope = good;
        cases[i].change(envelope);
        EXPECT_EQ(outcome([&] { verify(envelope, settings, system); }), cases[i].expected)
            << "row " << i;
    }
}

TEST_F(Verify, PolicyThenVersionsThenSystemThenAddress) {
    const struct {
        std::vector<std::pair<const char*, Json>> changes;
        const char* expected;
    } cases[] = {
        {{{"/releaseId", std::string(65, 'r')}}, policy},
        {{{"/schemaVersion", 2}}, policy},
        {{{"/environment", "sit"}}, policy},
        {{{"/channel", "beta"}}, policy},
        {{{"/platform", "windows"}}, policy},
        {{{"/arch", "x64"}}, policy},
        {{{"/minUpdaterProtocol", 2}}, policy},
        {{{"/package/appId", "com.tavelo.desktop.sit"}}, policy},
        {{{"/package/appId", "com.tavelo.desktop\0x"s}}, policy},
        {{{"/package/format", "zip"}}, policy},
        {{{"/package/sizeBytes", 0}}, policy},
        {{{"/package/sizeBytes", 262'144'000}}, "ok"},
        {{{"/package/sizeBytes", 262'144'001}}, policy},
        {{{"/package/sha256", std::string(64, 'A')}}, policy},
        {{{"/expiresAt", "2026-01-01T00:05:00.000Z"}}, policy},
        {{{"/issuedAt", "2026-01-01T00:00:59Z"}}, "ok"},
        {{{"/issuedAt", "2026-01-01T00:01:00Z"}}, policy},
        {{{"/issuedAt", "2025-12-31T23:50:00Z"}}, "ok"}, // exactly twenty minutes
        {{{"/issuedAt", "2025-12-31T23:49:59Z"}}, policy},
        {{{"/issuedAt", "2025-12-31T23:50:00Z"}, {"/expiresAt", "2026-01-01T00:00:00Z"}}, policy},
        {{{"/issuedAt", "2026-01-01T00:00:30Z"}, {"/expiresAt", "2026-01-01T00:00:01Z"}}, "ok"},
        {{{"/issuedAt", "2026-01-01T08:00:00+08:00"}, {"/expiresAt", "2025-12-31T18:40:00-05:30"}},
         "ok"},
        // Past either end of a nanosecond clock (1677 and 2262) nothing may wrap.
        {{{"/issuedAt", "2262-04-12T00:00:00Z"}, {"/expiresAt", "2262-04-11T00:00:00Z"}}, policy},
        {{{"/issuedAt", "0000-01-01T00:00:00Z"}, {"/expiresAt", "9999-12-31T23:59:59Z"}}, policy},
        {{{"/minInstallerVersion", "1.0.10"}}, "请下载新版安装器"}, // by number, not as text
        {{{"/minInstallerVersion", "1.0.5"}}, "ok"},
        {{{"/appVersion", "1.4"}}, "版本格式无效"},
        {{{"/minOS", "13.4.0.0"}}, "ok"},
        {{{"/minOS", "13..4"}}, "ok"},
        {{{"/minOS", "13.4.0.1"}}, "当前系统不支持此版本"},
        {{{"/minOS", "13"}}, "系统要求无效"},
        {{{"/minOS", "1.2.3.4.5"}}, "系统要求无效"},
        {{{"/minOS", "13.+"}}, "系统版本无效"},
        // Pieces are signed 64-bit numbers.
        {{{"/minOS", "13.-1"}}, "ok"},
        {{{"/minOS", "13.9223372036854775807"}}, "当前系统不支持此版本"},
        {{{"/minOS", "13.9223372036854775808"}}, "系统版本无效"},
        {{{"/minOS", "13.4 "}}, "系统版本无效"},
        {{{"/package/url", "https://evil.example/AI.dmg"}}, "下载地址不受信任"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(outcomeWith(cases[i].changes), cases[i].expected) << "row " << i;
}

TEST(VerifyFile, ShapeAndSizeAreJudgedBeforeTheContent) {
    const TempDir dir;
    const std::string content = "disk image bytes";
    const auto digest = "5f333e97f50fa03cfe35902ad05d1acae17c2f0cd2b134d67173728d7a2395d6";
    // Past one read buffer, with bytes that differ across it.
    std::string big((std::size_t{1} << 21) + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + i / 4093);
    std::filesystem::create_symlink(dir / "good.dmg", dir / "link.dmg");
    ::mkfifo((dir / "fifo.dmg").c_str(), 0600);
    const struct {
        const char* name;
        std::string onDisk;
        std::int64_t size;
        const char* sha256;
        std::string expected;
    } cases[] = {
        {"good.dmg", content, 16, digest, "ok"},
        {"big.dmg", big, (1 << 21) + 7,
         "8c91677e833ca3fe28e3371177e09c2345fd9373c16c652ac05ba37cef734698", "ok"},
        {"changed.dmg", "disk image bytez", 16, digest, "安装包校验失败"},
        {"longer.dmg", content + "!", 16, digest, "安装包大小无效"},
        {"link.dmg", "", 16, digest, "安装包大小无效"},
        {"fifo.dmg", "", 16, digest, "安装包大小无效"},
        {"missing.dmg", "", 16, digest,
         "无法读取安装包信息：文件或文件夹不存在（" + (dir / "missing.dmg").string() + "）"},
    };
    for (const auto& c : cases) {
        if (!c.onDisk.empty())
            testing::writeFile(dir / c.name, c.onDisk);
        release::Package package;
        package.sizeBytes = c.size;
        package.sha256 = c.sha256;
        EXPECT_EQ(outcome([&] { verifyFile(dir / c.name, package); }), c.expected) << c.name;
    }
}

} // namespace
} // namespace installer::trust
