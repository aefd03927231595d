#include "platform/installer_error.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "trust/bundle_version.h"

#include <gtest/gtest.h>

namespace installer::trust {
namespace {

using testing::BundleRecipe;
using testing::PlistEntry;
using testing::TempDir;

constexpr auto appId = "com.tavelo.desktop";
constexpr auto refused = "目标不是澄翎网盘应用";

std::string outcome(const std::filesystem::path& bundle) {
    try {
        const auto read = bundleVersion(bundle, appId);
        return read.version + "/" + std::to_string(read.build);
    } catch (const InstallerError& error) {
        return error.what();
    }
}

TEST(BundleVersion, ReadsXmlAndBinaryInfo) {
    TempDir dir;
    for (const bool binary : {false, true}) {
        const auto bundle = dir / (binary ? "bin.app" : "xml.app");
        testing::writeBundle(bundle, {testing::appInfo(appId, "1.4.2", "42"), binary, {}});
        EXPECT_EQ(outcome(bundle), "1.4.2/42") << binary;
    }
}

TEST(BundleVersion, BuildNumbersFollowTheDecimalRules) {
    TempDir dir;
    const struct {
        std::variant<std::string, std::int64_t, bool> build;
        std::uint64_t expected;
    } cases[] = {
        {std::string("22"), 22},
        {std::string("+22"), 22},
        {std::string("-0"), 0},
        {std::string("1.2"), 0},
        {std::string(" 22"), 0},
        {std::string("22 "), 0},
        {std::string("-1"), 0},
        {std::string(""), 0},
        {std::string("18446744073709551615"), 18446744073709551615u},
        {std::string("18446744073709551616"), 0},
        {std::int64_t{22}, 0},
        {true, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string name = "b";
        name += std::to_string(n++);
        name += ".app";
        const auto bundle = dir / name;
        std::vector<PlistEntry> info = testing::appInfo(appId, "1.0.0", "0");
        info[2].second = c.build;
        testing::writeBundle(bundle, {info, false, {}});
        EXPECT_EQ(outcome(bundle), "1.0.0/" + std::to_string(c.expected)) << n;
    }
    const auto noBuild = dir / "nobuild.app";
    testing::writeBundle(noBuild, {{{"CFBundleIdentifier", std::string(appId)},
                                    {"CFBundleShortVersionString", std::string("")}},
                                   false,
                                   {}});
    EXPECT_EQ(outcome(noBuild), "/0"); // an empty version is returned, not refused
}

TEST(BundleVersion, RefusesAnythingButTheExpectedApplication) {
    TempDir dir;
    const auto make = [&](const char* name, std::vector<PlistEntry> info) {
        testing::writeBundle(dir / name, {std::move(info), false, {}});
        return dir / name;
    };
    EXPECT_EQ(outcome(make("case.app", testing::appInfo("com.Tavelo.desktop", "1.0.0", "1"))),
              refused);
    EXPECT_EQ(outcome(make("other.app", testing::appInfo("com.tavelo.desktop.sit", "1.0.0", "1"))),
              refused);
    EXPECT_EQ(outcome(make("noversion.app", {{"CFBundleIdentifier", std::string(appId)}})),
              refused);
    EXPECT_EQ(outcome(make("numversion.app", {{"CFBundleIdentifier", std::string(appId)},
                                              {"CFBundleShortVersionString", std::int64_t{1}}})),
              refused);
    EXPECT_EQ(outcome(make("numid.app", {{"CFBundleIdentifier", std::int64_t{7}},
                                         {"CFBundleShortVersionString", std::string("1.0.0")}})),
              refused);
    std::filesystem::create_directories(dir / "bare.app");
    EXPECT_EQ(outcome(dir / "bare.app"), refused);
    std::filesystem::create_directories(dir / "garbage.app/Contents");
    testing::writeFile(dir / "garbage.app/Contents/Info.plist", "<plist><dict><key>");
    EXPECT_EQ(outcome(dir / "garbage.app"), refused);
    testing::writeFile(dir / "file.app", "not a folder");
    EXPECT_EQ(outcome(dir / "file.app"), refused);
    EXPECT_EQ(outcome(dir / "missing.app"), refused);
}

} // namespace
} // namespace installer::trust
