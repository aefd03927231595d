#include "platform/installer_error.h"
#include "release/json_reader.h"
#include "support/fixtures.h"
#include "trust/base64url.h"
#include "trust/crypto.h"
#include "trust/verify.h"

#include <functional>
#include <gtest/gtest.h>

namespace installer::trust {
namespace {

using testing::FakeSystem;
using testing::Signer;
using Json = nlohmann::ordered_json;
using namespace std::string_literals;

constexpr auto policy = "发布清单已过期或不兼容";

class Verify : public ::testing::Test {
protected:
    FakeSystem system; // arm64, 13.4.0, 2026-01-01T00:00:00Z
    Signer signer;
    release::Settings settings = testing::settingsFor(signer);
    std::string payload = testing::validManifest(system).dump();

    // "ok", or the message of what verify threw.
    std::string outcome(const release::Signed& envelope) const {
        try {
            verify(envelope, settings, system);
            return "ok";
        } catch (const std::exception& error) {
            return error.what();
        }
    }
    // The valid manifest with some members replaced (JSON pointers), signed.
    std::string outcomeWith(const std::vector<std::pair<const char*, Json>>& changes) const {
        Json manifest = testing::validManifest(system);
        for (const auto& [pointer, value] : changes)
            manifest[Json::json_pointer(pointer)] = value;
        return outcome(signer.sign(manifest.dump()));
    }
};

TEST_F(Verify, ReturnsTheSignedManifestUnchanged) {
    const auto manifest = verify(signer.sign(payload), settings, system);
    EXPECT_EQ(manifest.appVersion, "1.4.2");
    EXPECT_EQ(manifest.package.url, "https://packages.tavelo.example/releases/1.4.2/AI.dmg");
    EXPECT_EQ(manifest.expiresAt, "2026-01-01T00:10:00Z");
}

TEST_F(Verify, EnvelopeFaultsAreCaughtBeforeTheManifestIsRead) {
    std::string standard = encode64(payload + "\xfb\xff\xbf");
    for (char& ch : standard)
        ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
    std::string tampered = payload;
    tampered[tampered.find("1.4.2")] = '9';
    const release::Signed good = signer.sign(payload);
    const struct {
        std::function<void(release::Signed&)> change;
        const char* expected;
    } cases[] = {
        {[](auto& e) { e.keyId = "prod-release-v2"; }, "发布密钥未知"},
        {[](auto& e) { e.keyId = "Prod-release-v1"; }, "发布密钥未知"},
        // Oversized is refused as an unknown key, before any decoding.
        {[](auto& e) { e.payloadBase64url = std::string(90'000, 'A'); }, "发布密钥未知"},
        {[](auto& e) { e.payloadBase64url = std::string(89'999, 'A'); }, "发布签名无效"},
        {[](auto& e) { e.payloadBase64url += "="; }, "签名数据无效"},
        {[&](auto& e) { e.payloadBase64url = standard; }, "签名数据无效"},
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
        EXPECT_EQ(outcome(envelope), cases[i].expected) << "row " << i;
    }
}

TEST_F(Verify, KeyAndPayloadErrorsAreTheLibrariesOwn) {
    EXPECT_THROW(verify(signer.sign("[1,2]"), settings, system), release::DecodeError);
    Json manifest = testing::validManifest(system);
    manifest.erase("expiresAt");
    EXPECT_THROW(verify(signer.sign(manifest.dump()), settings, system), release::DecodeError);
    settings.keys[signer.keyId] = encode64(std::string(31, 'k'));
    release::Signed envelope = signer.sign(payload);
    envelope.signature = "!"; // would be "签名数据无效", but the key is built first
    EXPECT_THROW(verify(envelope, settings, system), CryptoError);
}

TEST_F(Verify, PolicyThenVersionsThenSystemThenAddress) {
    const struct {
        std::vector<std::pair<const char*, Json>> changes;
        const char* expected;
    } cases[] = {
        {{{"/releaseId", "rel 1"}}, policy},
        {{{"/releaseId", std::string(65, 'r')}}, policy},
        {{{"/releaseId", std::string(64, 'r')}}, "ok"},
        {{{"/releaseId", ""}}, policy},
        {{{"/schemaVersion", 2}}, policy},
        {{{"/environment", "sit"}}, policy},
        {{{"/channel", "beta"}}, policy},
        {{{"/platform", "windows"}}, policy},
        {{{"/arch", "x64"}}, policy},
        {{{"/minUpdaterProtocol", 0}}, policy},
        {{{"/minUpdaterProtocol", 2}}, policy},
        {{{"/package/appId", "com.tavelo.desktop.sit"}}, policy},
        {{{"/package/appId", "com.tavelo.desktop\0x"s}}, policy},
        {{{"/package/format", "zip"}}, policy},
        {{{"/package/sizeBytes", 0}}, policy},
        {{{"/package/sizeBytes", 262'144'000}}, "ok"},
        {{{"/package/sizeBytes", 262'144'001}}, policy},
        {{{"/package/sha256", std::string(64, 'A')}}, policy},
        {{{"/package/sha256", std::string(63, 'a')}}, policy},
        // The clock reads 2026-01-01T00:00:00Z.
        {{{"/issuedAt", "yesterday"}}, policy},
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
        {{{"/issuedAt", "9999-12-31T23:50:00Z"}, {"/expiresAt", "9999-12-31T23:59:59Z"}}, policy},
        {{{"/issuedAt", "1000-01-01T00:00:00Z"}, {"/expiresAt", "1000-01-01T00:10:00Z"}}, policy},
        {{{"/issuedAt", "0000-01-01T00:00:00Z"}, {"/expiresAt", "9999-12-31T23:59:59Z"}}, policy},
        {{{"/issuedAt", "1677-09-21T00:00:00Z"}}, policy},
        {{{"/channel", "beta"}, {"/minInstallerVersion", "9.0.0"}}, policy},
        {{{"/minInstallerVersion", "1.0.6"}}, "请下载新版安装器"},
        {{{"/minInstallerVersion", "1.0.5"}}, "ok"},
        {{{"/minInstallerVersion", "1.0"}}, "版本格式无效"},
        {{{"/appVersion", "1.4"}}, "版本格式无效"},
        {{{"/appVersion", "1.4.4294967296"}}, "版本无效"},
        // The running system is 13.4.0.
        {{{"/minOS", "13.4.0.0"}}, "ok"},
        {{{"/minOS", "13..4"}}, "ok"},
        {{{"/minOS", "+13.4"}}, "ok"},
        {{{"/minOS", "13.4.0.1"}}, "当前系统不支持此版本"},
        {{{"/minOS", "13.5"}}, "当前系统不支持此版本"},
        {{{"/minOS", "13"}}, "系统要求无效"},
        {{{"/minOS", ""}}, "系统要求无效"},
        {{{"/minOS", "1.2.3.4.5"}}, "系统要求无效"},
        {{{"/minOS", "13.x"}}, "系统版本无效"},
        {{{"/minOS", "13.4 "}}, "系统版本无效"},
        {{{"/package/url", "https://evil.example/AI.dmg"}}, "下载地址不受信任"},
        {{{"/package/url", "http://evil.example/AI.dmg"}, {"/minOS", "99.0"}},
         "当前系统不支持此版本"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(outcomeWith(cases[i].changes), cases[i].expected) << "row " << i;
}

TEST_F(Verify, TheTestEditionAndTheProcessorComeFromSettingsAndMachine) {
    settings.environment = "sit";
    system.processor = "x64";
    const auto edition = [&](const char* appId, const char* arch) {
        return outcomeWith({{"/environment", "sit"}, {"/package/appId", appId}, {"/arch", arch}});
    };
    EXPECT_EQ(edition("com.tavelo.desktop.sit", "x64"), "ok");
    EXPECT_EQ(edition("com.tavelo.desktop", "x64"), policy);
    EXPECT_EQ(edition("com.tavelo.desktop.sit", "arm64"), policy);
}

} // namespace
} // namespace installer::trust
