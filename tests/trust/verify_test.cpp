#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "trust/base64url.h"
#include "trust/crypto.h"
#include "trust/verify.h"
#include "trust/verify_file.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace installer::trust {
namespace {

using testing::FakeSystem;
using testing::Signer;
using Json = nlohmann::ordered_json;
using namespace std::string_literals;

constexpr auto policy = "发布清单已过期或不兼容";

std::string outcome(const std::function<void()>& call) {
    try {
        call();
        return "ok";
    } catch (const std::exception& error) {
        return error.what();
    }
}

class Verify : public ::testing::Test {
protected:
    FakeSystem system; // arm64, 13.4.0, 2026-01-01T00:00:00Z
    Signer signer;
    release::Settings settings = testing::settingsFor(signer);
    std::string payload = testing::validManifest(system).dump();

    std::string outcomeOf(const release::Signed& envelope) const {
        return outcome([&] { verify(envelope, settings, system); });
    }
    // The valid manifest with some members replaced (JSON pointers), signed.
    std::string outcomeWith(const std::vector<std::pair<const char*, Json>>& changes) const {
        Json manifest = testing::validManifest(system);
        for (const auto& [pointer, value] : changes)
            manifest[Json::json_pointer(pointer)] = value;
        return outcomeOf(signer.sign(manifest.dump()));
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
        {[](auto&) {}, "ok"},
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
        EXPECT_EQ(outcomeOf(envelope), cases[i].expected) << "row " << i;
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
        {{{"/package/sizeBytes", 262'144'000}}, "ok"},
        {{{"/package/sizeBytes", 262'144'001}}, policy},
        {{{"/package/sha256", std::string(64, 'A')}}, policy},
        // The clock reads 2026-01-01T00:00:00Z.
        {{{"/expiresAt", "2026-01-01T00:05:00.000Z"}}, policy},
        {{{"/issuedAt", "2026-01-01T00:00:59Z"}}, "ok"},
        {{{"/issuedAt", "2026-01-01T00:01:00Z"}}, policy},
        {{{"/issuedAt", "2025-12-31T23:50:00Z"}}, "ok"}, // exactly twenty minutes
        {{{"/issuedAt", "2025-12-31T23:49:59Z"}}, policy},
        {{{"/issuedAt", "2025-12-31T23:50:00Z"}, {"/expiresAt", "2026-01-01T00:00:00Z"}}, policy},
        {{{"/issuedAt", "2026-01-01T00:00:30Z"}, {"/expiresAt", "2026-01-01T00:00:01Z"}}, "ok"},
        {{{"/issuedAt", "2026-01-01T08:00:00+08:00"}, {"/expiresAt", "2025-12-31T19:10:00-05:00"}},
         "ok"},
        // Past either end of a nanosecond clock (1677 and 2262) nothing may wrap.
        {{{"/issuedAt", "2262-04-12T00:00:00Z"}, {"/expiresAt", "2262-04-11T00:00:00Z"}}, policy},
        {{{"/issuedAt", "0000-01-01T00:00:00Z"}, {"/expiresAt", "9999-12-31T23:59:59Z"}}, policy},
        {{{"/minInstallerVersion", "1.0.6"}}, "请下载新版安装器"},
        {{{"/minInstallerVersion", "1.0.5"}}, "ok"},
        {{{"/appVersion", "1.4"}}, "版本格式无效"},
        // The running system is 13.4.0.
        {{{"/minOS", "13.4.0.0"}}, "ok"},
        {{{"/minOS", "13..4"}}, "ok"},
        {{{"/minOS", "13.4.0.1"}}, "当前系统不支持此版本"},
        {{{"/minOS", "13.5"}}, "当前系统不支持此版本"},
        {{{"/minOS", "13"}}, "系统要求无效"},
        {{{"/minOS", "1.2.3.4.5"}}, "系统要求无效"},
        {{{"/minOS", "13.x"}}, "系统版本无效"},
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
    const testing::TempDir dir;
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
