#include "platform/file.h"
#include "platform/installer_error.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "trust/bundle_version.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace installer::trust {
namespace {

using namespace std::string_literals;
using testing::TempDir;

constexpr auto refused = "目标不是澄翎网盘应用";

std::string outcome(const std::filesystem::path& bundle) {
    try {
        const auto read = bundleVersion(bundle, "com.tavelo.desktop");
        return read.version + "/" + std::to_string(read.build);
    } catch (const InstallerError& error) {
        return error.what();
    }
}

// An XML Info.plist; each value is a whole element such as <string>1.0</string>.
std::string info(const std::string& id, const std::string& version, const std::string& build) {
    const std::pair<const char*, std::string> entries[] = {{"CFBundleIdentifier", id},
                                                           {"CFBundleShortVersionString", version},
                                                           {"CFBundleVersion", build}};
    std::string members;
    for (const auto& [key, value] : entries)
        if (!value.empty())
            members += "<key>"s + key + "</key>" + value;
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + members + "</dict></plist>";
}

std::string text(const std::string& value) {
    return "<string>" + value + "</string>";
}

TEST(BundleVersion, ReadsTheIdentifierVersionAndBuildWholly) {
    TempDir dir;
    const auto app = text("com.tavelo.desktop");
    const struct {
        std::string plist;
        std::string expected;
    } cases[] = {
        {info(app, text("1.4.2"), text("22")), "1.4.2/22"},
        {info(app, text("1.4.2"), text("+22")), "1.4.2/22"},
        {info(app, text("1.4.2"), text("18446744073709551615")), "1.4.2/18446744073709551615"},
        {info(app, text("1.4.2"), text("18446744073709551616")), "1.4.2/0"},
        {info(app, text("1.4.2"), text("22 ")), "1.4.2/0"},
        {info(app, text("1.4.2"), text("-1")), "1.4.2/0"},
        {info(app, text("1.4.2"), text("22&#0;")), "1.4.2/0"},
        {info(app, text(""), ""), "/0"}, // returned; the install's version rule refuses it
        {info(app, text("1.4.2&#0;x"), ""), "1.4.2\0x/0"s},
        {info(text("com.tavelo.desktop.sit"), text("1.0.0"), ""), refused},
        {info(text("com.tavelo.desktop&#0;x"), text("1.0.0"), ""), refused},
        {info("<integer>7</integer>", text("1.0.0"), ""), refused},
        {info(app, "", text("1")), refused},
        {info(app, "<integer>1</integer>", ""), refused},
        {"<plist><dict><key>", refused},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto bundle = dir / std::string("b").append(std::to_string(i)).append(".app");
        std::filesystem::create_directories(bundle / "Contents");
        testing::writeFile(bundle / "Contents/Info.plist", cases[i].plist);
        EXPECT_EQ(outcome(bundle), cases[i].expected) << "row " << i;
    }
}

TEST(BundleVersion, ReadsBinaryListsAndRefusesWhatIsNoBundle) {
    TempDir dir;
    testing::writeBundle(dir / "bin.app",
                         {testing::appInfo("com.tavelo.desktop", "1.4.2", "42"), true, {}});
    EXPECT_EQ(outcome(dir / "bin.app"), "1.4.2/42");
    std::filesystem::create_directories(dir / "fifo.app/Contents");
    ASSERT_EQ(::mkfifo((dir / "fifo.app/Contents/Info.plist").c_str(), 0600), 0);
    const platform::UniqueFd silentWriter(
        ::open((dir / "fifo.app/Contents/Info.plist").c_str(), O_RDWR));
    testing::writeFile(dir / "file.app", "not a folder");
    for (const char* name : {"fifo.app", "file.app", "missing.app"})
        EXPECT_EQ(outcome(dir / name), refused) << name;
}

} // namespace
} // namespace installer::trust
