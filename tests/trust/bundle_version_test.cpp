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
        {info(app, "<string/>", ""), "/0"}, // returned; the install's version rule refuses it
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
        EXPECT_EQ(outcome(dir / "b.app"), c.expected) << c.plist;
    }
    testing::writeBundle(dir / "bin.app",
                         {testing::appInfo("com.tavelo.desktop", "1.4.2", "42"), true, {}});
    EXPECT_EQ(outcome(dir / "bin.app"), "1.4.2/42");
    std::filesystem::create_directories(dir / "fifo.app/Contents");
    ASSERT_EQ(::mkfifo((dir / "fifo.app/Contents/Info.plist").c_str(), 0600), 0);
    const platform::UniqueFd silentWriter(
        ::open((dir / "fifo.app/Contents/Info.plist").c_str(), O_RDWR));
    for (const char* name : {"fifo.app", "missing.app"})
        EXPECT_EQ(outcome(dir / name), refused) << name;
}

} // namespace
} // namespace installer::trust
