#include "platform/installer_error.h"
#include "release/json_reader.h"
#include "support/fixtures.h"
#include "trust/base64url.h"
#include "trust/crypto.h"
#include "trust/verify.h"

#include <gtest/gtest.h>

#include <functional>

namespace installer::trust {
namespace {

using namespace std::chrono_literals;
using testing::FakeSystem;
using testing::Signer;
using Json = nlohmann::ordered_json;

class Verify : public ::testing::Test {
protected:
    FakeSystem system;
    Signer signer;
    release::Settings settings = testing::settingsFor(signer);

    // "ok", or the message of what verify threw.
    std::string outcome(const release::Signed& envelope) const {
        try {
            verify(envelope, settings, system);
            return "ok";
        } catch (const std::exception& error) {
            return error.what();
        }
    }
    std::string outcome(const Json& manifest) const {
        return outcome(signer.sign(manifest.dump()));
    }
    std::string outcomeWith(const std::function<void(Json&)>& change) const {
        Json manifest = testing::validManifest(system);
        change(manifest);
        return outcome(manifest);
    }
};

constexpr auto policy = "发布清单已过期或不兼容";

TEST_F(Verify, ReturnsTheSignedManifestUnchanged) {
    const Json json = testing::validManifest(system);
    const auto manifest = verify(signer.sign(json.dump()), settings, system);
    EXPECT_EQ(manifest.appVersion, "1.4.2");
    EXPECT_EQ(manifest.package.url, json["package"]["url"]);
    EXPECT_EQ(manifest.issuedAt, json["issuedAt"]);
}

TEST_F(Verify, EnvelopeFaultsAreCaughtBeforeTheManifestIsRead) {
    const std::string payload = testing::validManifest(system).dump();
    const release::Signed good = signer.sign(payload);
    const auto changed = [&](const std::function<void(release::Signed&)>& change) {
        release::Signed envelope = good;
        change(envelope);
        return outcome(envelope);
    };
    EXPECT_EQ(changed([](auto& e) { e.keyId = "prod-release-v2"; }), "发布密钥未知");
    EXPECT_EQ(changed([](auto& e) { e.keyId = "Prod-release-v1"; }), "发布密钥未知");
    // An oversized payload is refused as an unknown key, even when the key is known.
    EXPECT_EQ(changed([](auto& e) { e.payloadBase64url = std::string(90'000, 'A'); }),
              "发布密钥未知");
    EXPECT_EQ(changed([](auto& e) { e.payloadBase64url = std::string(89'999, 'A'); }),
              "发布签名无效");
    EXPECT_EQ(changed([](auto& e) { e.payloadBase64url += "="; }), "签名数据无效");
    EXPECT_EQ(changed([](auto& e) { e.signature = "not base64!"; }), "签名数据无效");
    // The standard alphabet is refused before the signature is looked at.
    std::string standard = encode64(payload + "\xfb\xff\xbf");
    for (char& ch : standard)
        ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
    EXPECT_EQ(changed([&](auto& e) { e.payloadBase64url = standard; }), "签名数据无效");
}

TEST_F(Verify, TheSignatureCoversTheDecodedBytes) {
    std::string payload = testing::validManifest(system).dump();
    release::Signed envelope = signer.sign(payload);
    payload[payload.find("1.4.2")] = '9';
    release::Signed tampered = envelope;
    tampered.payloadBase64url = encode64(payload);
    EXPECT_EQ(outcome(tampered), "发布签名无效");

    release::Signed overText = envelope;
    overText.signature = encode64(signing::sign(signer.keys.privateKeyPem,
                                                envelope.payloadBase64url));
    EXPECT_EQ(outcome(overText), "发布签名无效");

    Signer stranger;
    release::Signed foreign = stranger.sign(testing::validManifest(system).dump());
    EXPECT_EQ(outcome(foreign), "发布签名无效");

    release::Signed shortSignature = envelope;
    shortSignature.signature = envelope.signature.substr(0, 84);
    EXPECT_EQ(outcome(shortSignature), "发布签名无效");
}

TEST_F(Verify, AKeyOfTheWrongLengthIsTheCryptoLibrarysError) {
    settings.keys[signer.keyId] = encode64(std::string(31, 'k'));
    release::Signed envelope = signer.sign(testing::validManifest(system).dump());
    envelope.signature = "!";  // would be "签名数据无效", but the key is built first
    EXPECT_THROW(verify(envelope, settings, system), CryptoError);
    settings.keys[signer.keyId] = "AAA=";
    EXPECT_EQ(outcome(envelope), "签名数据无效");
}

TEST_F(Verify, ASignedPayloadThatIsNotAManifestIsADecodingError) {
    EXPECT_THROW(verify(signer.sign("[1,2]"), settings, system), release::DecodeError);
    Json manifest = testing::validManifest(system);
    manifest.erase("expiresAt");
    EXPECT_THROW(verify(signer.sign(manifest.dump()), settings, system), release::DecodeError);
}

TEST_F(Verify, EveryPolicyRuleRefusesWithOneMessage) {
    const struct {
        const char* what;
        std::function<void(Json&)> change;
        const char* expected;
    } cases[] = {
        {"release id with a space", [](Json& m) { m["releaseId"] = "rel 1"; }, policy},
        {"release id of 65", [](Json& m) { m["releaseId"] = std::string(65, 'r'); }, policy},
        {"release id of 64", [](Json& m) { m["releaseId"] = std::string(64, 'r'); }, "ok"},
        {"empty release id", [](Json& m) { m["releaseId"] = ""; }, policy},
        {"schema 2", [](Json& m) { m["schemaVersion"] = 2; }, policy},
        {"other environment", [](Json& m) { m["environment"] = "sit"; }, policy},
        {"beta channel", [](Json& m) { m["channel"] = "beta"; }, policy},
        {"windows", [](Json& m) { m["platform"] = "windows"; }, policy},
        {"other processor", [](Json& m) { m["arch"] = "x64"; }, policy},
        {"protocol 0", [](Json& m) { m["minUpdaterProtocol"] = 0; }, policy},
        {"protocol 2", [](Json& m) { m["minUpdaterProtocol"] = 2; }, policy},
        {"test app id", [](Json& m) { m["package"]["appId"] = "com.tavelo.desktop.sit"; }, policy},
        {"zip", [](Json& m) { m["package"]["format"] = "zip"; }, policy},
        {"size 0", [](Json& m) { m["package"]["sizeBytes"] = 0; }, policy},
        {"size -1", [](Json& m) { m["package"]["sizeBytes"] = -1; }, policy},
        {"size 250 MiB", [](Json& m) { m["package"]["sizeBytes"] = 262'144'000; }, "ok"},
        {"size 250 MiB + 1", [](Json& m) { m["package"]["sizeBytes"] = 262'144'001; }, policy},
        {"digest in capitals", [](Json& m) { m["package"]["sha256"] = std::string(64, 'A'); },
         policy},
        {"digest of 63", [](Json& m) { m["package"]["sha256"] = std::string(63, 'a'); }, policy},
        {"bad issuedAt", [](Json& m) { m["issuedAt"] = "yesterday"; }, policy},
        {"fractional expiresAt",
         [](Json& m) { m["expiresAt"] = "2026-01-01T00:05:00.000Z"; }, policy},
        {"policy before installer version",
         [](Json& m) {
             m["channel"] = "beta";
             m["minInstallerVersion"] = "9.0.0";
         },
         policy},
        {"old installer", [](Json& m) { m["minInstallerVersion"] = "1.0.6"; }, "请下载新版安装器"},
        {"same installer", [](Json& m) { m["minInstallerVersion"] = "1.0.5"; }, "ok"},
        {"two-part installer version", [](Json& m) { m["minInstallerVersion"] = "1.0"; },
         "版本格式无效"},
        {"bad app version", [](Json& m) { m["appVersion"] = "1.4"; }, "版本格式无效"},
        {"huge app version", [](Json& m) { m["appVersion"] = "1.4.4294967296"; }, "版本无效"},
        {"untrusted host",
         [](Json& m) { m["package"]["url"] = "https://evil.example/AI.dmg"; }, "下载地址不受信任"},
        {"url check comes last",
         [](Json& m) {
             m["package"]["url"] = "http://evil.example/AI.dmg";
             m["minOS"] = "99.0";
         },
         "当前系统不支持此版本"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcomeWith(c.change), c.expected) << c.what;
}

TEST_F(Verify, TheValidityWindowIsShortAndAnchoredToNow) {
    const auto window = [&](std::chrono::seconds issued, std::chrono::seconds expires) {
        return outcomeWith([&](Json& m) {
            m["issuedAt"] = testing::internetTime(system.clock + issued);
            m["expiresAt"] = testing::internetTime(system.clock + expires);
        });
    };
    EXPECT_EQ(window(30s, 600s), "ok");                // issued slightly in the future
    EXPECT_EQ(window(59s, 600s), "ok");
    EXPECT_EQ(window(60s, 600s), policy);              // a minute ahead is too far
    EXPECT_EQ(window(-600s, 600s), "ok");              // exactly twenty minutes
    EXPECT_EQ(window(-601s, 600s), policy);            // twenty minutes and a second
    EXPECT_EQ(window(-600s, 0s), policy);              // expires now
    EXPECT_EQ(window(-600s, 1s), "ok");
    EXPECT_EQ(window(10s, 5s), "ok");                  // order is not itself a rule
    const auto zoned = outcomeWith([&](Json& m) {
        m["issuedAt"] = "2026-01-01T08:00:00+08:00";  // the fake clock's midnight UTC
        m["expiresAt"] = "2025-12-31T19:10:00-05:00";
    });
    EXPECT_EQ(zoned, "ok");
}

TEST_F(Verify, TheTestEditionRequiresTheTestApplication) {
    settings.environment = "sit";
    EXPECT_EQ(outcomeWith([](Json& m) {
                  m["environment"] = "sit";
                  m["package"]["appId"] = "com.tavelo.desktop.sit";
              }),
              "ok");
    EXPECT_EQ(outcomeWith([](Json& m) { m["environment"] = "sit"; }), policy);
}

TEST_F(Verify, TheProcessorIsTheMachines) {
    system.processor = "x64";
    EXPECT_EQ(outcomeWith([](Json& m) { m["arch"] = "x64"; }), "ok");
    EXPECT_EQ(outcomeWith([](Json& m) { m["arch"] = "arm64"; }), policy);
}

TEST_F(Verify, MinimumSystemIsComparedPaddedToFourParts) {
    system.os = {13, 4, 0};
    const struct {
        const char* minOS;
        const char* expected;
    } cases[] = {
        {"13.4", "ok"},
        {"13.4.0", "ok"},
        {"13.4.0.0", "ok"},
        {"12.9.9.9", "ok"},
        {"13..4", "ok"},  // empty pieces are dropped
        {".13.4.", "ok"},
        {"+13.4", "ok"},
        {"-1.0", "ok"},
        {"13.4.0.1", "当前系统不支持此版本"},
        {"13.5", "当前系统不支持此版本"},
        {"14.0", "当前系统不支持此版本"},
        {"13", "系统要求无效"},
        {"", "系统要求无效"},
        {"...", "系统要求无效"},
        {"1.2.3.4.5", "系统要求无效"},
        {"13.x", "系统版本无效"},
        {"x", "系统版本无效"},
        {"13.4 ", "系统版本无效"},
        {"13.99999999999999999999", "系统版本无效"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcomeWith([&](Json& m) { m["minOS"] = c.minOS; }), c.expected) << c.minOS;
}

} // namespace
} // namespace installer::trust
