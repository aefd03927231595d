#include "release/json_reader.h"
#include "release/records.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace installer::release {
namespace {

using Json = nlohmann::ordered_json;

Json manifestJson() {
    return Json::parse(R"({
      "schemaVersion": 1, "environment": "production", "channel": "stable",
      "releaseId": "r1", "revision": 7, "appVersion": "1.4.2", "buildNumber": 42,
      "platform": "macos", "arch": "arm64", "minOS": "12.0", "minInstallerVersion": "1.0.0",
      "minUpdaterProtocol": 1,
      "package": {"artifactId": "a", "url": "https://h/x.dmg", "format": "dmg",
                  "sizeBytes": 1000, "sha256": "00", "appId": "com.tavelo.desktop"},
      "issuedAt": "2026-01-01T00:00:00Z", "expiresAt": "2026-01-01T00:10:00Z",
      "futureField": {"anything": [true]}
    })");
}

template <typename Decode>
std::string errorOf(Decode decode, const Json& json) {
    try {
        decode(json.dump());
        return "decoded";
    } catch (const DecodeError& error) {
        return error.what();
    }
}

std::string manifestError(const std::function<void(Json&)>& change) {
    Json json = manifestJson();
    change(json);
    return errorOf(decodeManifest, json);
}

TEST(Manifest, DecodesEveryFieldAndIgnoresUnknownKeys) {
    const Manifest m = decodeManifest(manifestJson().dump());
    EXPECT_EQ(m.revision, 7u);
    EXPECT_EQ(m.buildNumber, 42u);
    EXPECT_EQ(m.package.sizeBytes, 1000);
    EXPECT_EQ(m.package.appId, "com.tavelo.desktop");
    EXPECT_EQ(m.expiresAt, "2026-01-01T00:10:00Z");
}

TEST(Manifest, IntegersMustBeIntegersWithinTheFieldsRange) {
    const struct {
        const char* what;
        std::function<void(Json&)> change;
        const char* error;
    } cases[] = {
        {"negative revision", [](Json& j) { j["revision"] = -1; },
         "无法读取数据：键“revision”的数值超出范围"},
        {"fractional build", [](Json& j) { j["buildNumber"] = 1.5; },
         "无法读取数据：键“buildNumber”的值应为整数"},
        {"build as 1.0", [](Json& j) { j["buildNumber"] = 1.0; },
         "无法读取数据：键“buildNumber”的值应为整数"},
        {"build as text", [](Json& j) { j["buildNumber"] = "42"; },
         "无法读取数据：键“buildNumber”的值应为整数"},
        {"build as boolean", [](Json& j) { j["buildNumber"] = true; },
         "无法读取数据：键“buildNumber”的值应为整数"},
        {"largest build", [](Json& j) { j["buildNumber"] = 18446744073709551615u; }, "decoded"},
        {"schema beyond int64", [](Json& j) { j["schemaVersion"] = 9223372036854775808u; },
         "无法读取数据：键“schemaVersion”的数值超出范围"},
        {"negative size decodes", [](Json& j) { j["package"]["sizeBytes"] = -1; }, "decoded"},
        {"nested key path", [](Json& j) { j["package"]["sizeBytes"] = "1"; },
         "无法读取数据：键“package.sizeBytes”的值应为整数"},
        {"missing expiresAt", [](Json& j) { j.erase("expiresAt"); },
         "无法读取数据：缺少必需的键“expiresAt”"},
        {"null package", [](Json& j) { j["package"] = nullptr; },
         "无法读取数据：键“package”的值不能为 null"},
        {"package as array", [](Json& j) { j["package"] = Json::array(); },
         "无法读取数据：键“package”的值应为对象"},
        {"first fault in order wins",
         [](Json& j) {
             j.erase("expiresAt");
             j["channel"] = 5;
         },
         "无法读取数据：键“channel”的值应为字符串"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(manifestError(c.change), c.error) << c.what;
    // Numbers beyond 64 bits or beyond a double are out of range, not a wrong type.
    std::string text = manifestJson().dump();
    text.replace(text.find("\"revision\":7"), 12, "\"revision\":99999999999999999999999");
    EXPECT_EQ(errorOf([](const std::string& t) { return decodeManifest(t); }, Json::parse(text)),
              "无法读取数据：键“revision”的数值超出范围");
    text.replace(text.find("99999999999999999999999"), 23, "1e999999");
    EXPECT_THROW(decodeManifest(text), DecodeError);
}

TEST(Envelope, KeysAreCaseSensitive) {
    EXPECT_EQ(errorOf(decodeSigned, Json{{"KeyId", "k"}, {"payloadBase64url", "p"}, {"signature", "s"}}),
              "无法读取数据：缺少必需的键“keyId”");
    const Signed envelope = decodeSigned(R"({"keyId":"k","payloadBase64url":"p","signature":"s","x":1})");
    EXPECT_EQ(envelope.keyId, "k");
    EXPECT_EQ(envelope.signature, "s");
}

TEST(ResolveResponse, OptionalMembersMayBeNullOrMissing) {
    for (const char* text : {R"({"code":0,"data":{"updateAvailable":false}})",
                             R"({"code":0,"data":{"updateAvailable":false,"reason":null,"manifest":null}})"}) {
        const auto response = decodeResolveResponse(text);
        EXPECT_FALSE(response.data.reason) << text;
        EXPECT_FALSE(response.data.manifest) << text;
    }
    const auto offered = decodeResolveResponse(
        R"({"code":0,"data":{"updateAvailable":true,"reason":"OS_UNSUPPORTED",)"
        R"("manifest":{"keyId":"k","payloadBase64url":"p","signature":"s"}}})");
    EXPECT_EQ(offered.data.reason, "OS_UNSUPPORTED");
    ASSERT_TRUE(offered.data.manifest);
    EXPECT_EQ(offered.data.manifest->payloadBase64url, "p");
}

TEST(ResolveResponse, RequiredMembersAndTypes) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"data":{"updateAvailable":true}})", "无法读取数据：缺少必需的键“code”"},
        {R"({"code":"0","data":{"updateAvailable":true}})", "无法读取数据：键“code”的值应为整数"},
        {R"({"code":0})", "无法读取数据：缺少必需的键“data”"},
        {R"({"code":0,"data":{"updateAvailable":1}})",
         "无法读取数据：键“data.updateAvailable”的值应为布尔值"},
        {R"({"code":0,"data":{"updateAvailable":true,"reason":5}})",
         "无法读取数据：键“data.reason”的值应为字符串"},
        {R"({"code":0,"data":{"updateAvailable":true,"manifest":{"keyId":"k"}}})",
         "无法读取数据：缺少必需的键“data.manifest.payloadBase64url”"},
        {R"({"code":0,"data":{"updateAvailable":true}} x)",
         "无法读取数据：不是有效的 JSON（第 44 个字节附近）"},
    };
    for (const auto& c : cases) {
        try {
            decodeResolveResponse(c.text);
            ADD_FAILURE() << "decoded: " << c.text;
        } catch (const DecodeError& error) {
            EXPECT_STREQ(error.what(), c.error) << c.text;
        }
    }
}

} // namespace
} // namespace installer::release
