#include "release/json_reader.h"
#include "release/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace installer::release {
namespace {

constexpr std::string_view builtIn =
    R"({"apiOrigin":"https://releases.tavelo.example","environment":"production",)"
    R"("installerVersion":"1.0.5","installerBuildNumber":6,"appBuildNumber":22,)"
    R"("keys":{"prod-release-v1":"Sm8WxYENL1vMGGpv0oyQyLvB1pabePCrjqeCcP38T50"},)"
    R"("downloadHosts":["packages.tavelo.example"]})";

std::string errorOf(std::string_view text) {
    try {
        decodeSettings(text);
        return "decoded";
    } catch (const DecodeError& error) {
        return error.what();
    }
}

TEST(Settings, DecodesTheBuiltInText) {
    const Settings settings = decodeSettings(builtIn);
    EXPECT_EQ(settings.apiOrigin, "https://releases.tavelo.example");
    EXPECT_EQ(settings.environment, "production");
    EXPECT_EQ(settings.installerVersion, "1.0.5");
    ASSERT_EQ(settings.keys.size(), 1u);
    EXPECT_EQ(settings.keys.at("prod-release-v1").size(), 43u);
    EXPECT_EQ(settings.downloadHosts, std::vector<std::string>{"packages.tavelo.example"});
}

TEST(Settings, IgnoresOtherMembersAndDoesNotJudgeValues) {
    const Settings settings = decodeSettings(
        R"({"apiOrigin":"","environment":"","keys":{"k":"not a key"},"downloadHosts":[],)"
        R"("installerVersion":"","future":{"x":[1,2]}})");
    EXPECT_EQ(settings.keys.at("k"), "not a key");
    EXPECT_TRUE(settings.downloadHosts.empty());
}

TEST(Settings, EachDecodedMemberIsRequiredWithItsType) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"environment":"p","keys":{},"downloadHosts":[],"installerVersion":"1"})",
         "无法读取数据：缺少必需的键“apiOrigin”"},
        {R"({"apiOrigin":null,"environment":"p","keys":{},"downloadHosts":[],"installerVersion":"1"})",
         "无法读取数据：键“apiOrigin”的值不能为 null"},
        {R"({"apiOrigin":"a","environment":1,"keys":{},"downloadHosts":[],"installerVersion":"1"})",
         "无法读取数据：键“environment”的值应为字符串"},
        {R"({"apiOrigin":"a","environment":"p","keys":[],"downloadHosts":[],"installerVersion":"1"})",
         "无法读取数据：键“keys”的值应为对象"},
        {R"({"apiOrigin":"a","environment":"p","keys":{"k":1},"downloadHosts":[],"installerVersion":"1"})",
         "无法读取数据：键“keys.k”的值应为字符串"},
        {R"({"apiOrigin":"a","environment":"p","keys":{},"downloadHosts":["h",null],"installerVersion":"1"})",
         "无法读取数据：键“downloadHosts[1]”的值应为字符串"},
        {R"({"apiOrigin":"a","environment":"p","keys":{},"downloadHosts":[]})",
         "无法读取数据：缺少必需的键“installerVersion”"},
        {R"({"ApiOrigin":"a","environment":"p","keys":{},"downloadHosts":[],"installerVersion":"1"})",
         "无法读取数据：缺少必需的键“apiOrigin”"},
        // Decoding order decides which fault is named.
        {R"({"apiOrigin":"a","environment":2,"keys":3})",
         "无法读取数据：键“environment”的值应为字符串"},
        {R"(["apiOrigin"])", "无法读取数据：数据应为 JSON 对象"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorOf(c.text), c.error) << c.text;
}

TEST(Settings, TheShippedEditionsDecode) {
    for (const char* name : {"production.json", "test.json", "demo.json"}) {
        std::ifstream in(std::string(INSTALLER_SOURCE_DIR) + "/config/" + name);
        std::stringstream text;
        text << in.rdbuf();
        const Settings settings = decodeSettings(text.str());
        EXPECT_EQ(settings.keys.size(), 1u) << name;
        EXPECT_EQ(settings.installerVersion, "1.0.5") << name;
    }
}

} // namespace
} // namespace installer::release
