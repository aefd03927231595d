#include "release/json_reader.h"
#include "release/records.h"
#include "release/settings.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace installer::release {
namespace {

using Json = nlohmann::ordered_json;

std::string settings(std::string_view text) {
    const Settings s = decodeSettings(text);
    return s.apiOrigin + " " + s.environment + " " + s.installerVersion + " " +
           ::testing::PrintToString(s.keys) + " " + ::testing::PrintToString(s.downloadHosts);
}

std::string response(std::string_view text) {
    const ResolveResponse r = decodeResolveResponse(text);
    return "code " + std::to_string(r.code) + (r.data.updateAvailable ? " offered" : " none") +
           " reason " + r.data.reason.value_or("-") + (r.data.manifest ? " manifest" : "");
}

std::string manifest(std::string_view text) {
    const Manifest m = decodeManifest(text);
    return m.appVersion + " build " + std::to_string(m.buildNumber) + " revision " +
           std::to_string(m.revision) + " schema " + std::to_string(m.schemaVersion) + " size " +
           std::to_string(m.package.sizeBytes);
}

// A valid manifest (issued 2026-01-01) with one change, as text. The string "-0" is
// written as the number: JSON writers drop the sign of a negative zero.
std::string manifestWith(const std::function<void(Json&)>& change) {
    Json json = testing::validManifest(testing::FakeSystem());
    change(json);
    std::string text = json.dump();
    if (const auto at = text.find("\"-0\""); at != std::string::npos)
        text.replace(at, 4, "-0");
    return text;
}

TEST(RecordDecoding, EachTextGivesItsValueOrNamesItsFirstFault) {
    const struct {
        std::string (*decode)(std::string_view);
        std::string text;
        std::string outcome;
    } cases[] = {
        // The shipped settings; members other than the five are skipped.
        {settings, testing::readText(INSTALLER_SOURCE_DIR "/config/production.json"),
         "https://releases.tavelo.example production 1.0.5 "
         "{ (\"prod-release-v1\", \"Sm8WxYENL1vMGGpv0oyQyLvB1pabePCrjqeCcP38T50\") } "
         "{ \"packages.tavelo.example\" }"},
        {settings,
         R"({"apiOrigin":"a","environment":"p","keys":{"k":1},"downloadHosts":[],"installerVersion":"1"})",
         "无法读取数据：键“keys.k”的值应为字符串"},
        {settings,
         R"({"apiOrigin":"a","environment":"p","keys":{},"downloadHosts":["h",null],"installerVersion":"1"})",
         "无法读取数据：键“downloadHosts[1]”的值应为字符串"},

        {response, R"({"code":0,"data":{"updateAvailable":false}})", "code 0 none reason -"},
        {response, R"({"code":0,"data":{"updateAvailable":false,"reason":null,"manifest":null}})",
         "code 0 none reason -"},
        {response, R"({"code":0,"data":{"updateAvailable":true,"manifest":{"keyId":"k"}}})",
         "无法读取数据：缺少必需的键“data.manifest.payloadBase64url”"},
        // What a hostile service could send: nesting without end (the outermost value and
        // 512 levels inside it are read), bytes that are no UTF-8.
        {response, std::string(513, '[') + std::string(513, ']'),
         "无法读取数据：数据应为 JSON 对象"},
        {response, std::string(514, '[') + std::string(514, ']'),
         "无法读取数据：JSON 嵌套层数过多"},
        {response, "{\"code\":0,\"data\":{\"reason\":\"\xC0\x80\"}}",
         "无法读取数据：不是有效的 JSON（第 29 个字节附近）"},

        {manifest, manifestWith([](Json& j) {
             j["buildNumber"] = 18446744073709551615u;
             j["revision"] = "-0";
             j["schemaVersion"] = 9223372036854775807;
             j["package"]["sizeBytes"] = std::numeric_limits<std::int64_t>::min();
         }),
         "1.4.2 build 18446744073709551615 revision 0 schema 9223372036854775807 size "
         "-9223372036854775808"},
        {manifest, manifestWith([](Json& j) { j["revision"] = -1; }),
         "无法读取数据：键“revision”的数值超出范围"},
        {manifest, manifestWith([](Json& j) { j["buildNumber"] = 1.5; }),
         "无法读取数据：键“buildNumber”的值应为整数"},
        {manifest, manifestWith([](Json& j) { j["schemaVersion"] = 9223372036854775808u; }),
         "无法读取数据：键“schemaVersion”的数值超出范围"},
        // Beyond 64 bits the parser keeps a double: still out of range, not a wrong type.
        {manifest,
         manifestWith([](Json& j) { j["revision"] = Json::parse("99999999999999999999999"); }),
         "无法读取数据：键“revision”的数值超出范围"},
        {manifest, "{\"revision\":1e999999}", "无法读取数据：JSON 中的数值超出范围"},
        {manifest, manifestWith([](Json& j) { j["package"] = nullptr; }),
         "无法读取数据：键“package”的值不能为 null"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(testing::outcome([&] { return c.decode(c.text); }), c.outcome) << c.text;
}

} // namespace
} // namespace installer::release
