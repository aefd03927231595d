#include "platform/bundle.h"
#include "platform/file.h"
#include "platform/property_list.h"
#include "platform/system.h"
#include "platform/system_error.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace installer::platform {
namespace {

using testing::TempDir;

TEST(ReadFile, StopsOneBytePastTheLimit) {
    TempDir dir;
    testing::writeFile(dir / "f", std::string(1000, 'x'));
    EXPECT_EQ(readFile(dir / "f", 10).size(), 11u);
    EXPECT_EQ(readFile(dir / "f", 1000).size(), 1000u);
    EXPECT_EQ(readFile("/dev/zero", 100'000).size(), 100'001u);
}

TEST(ReadFile, AFifoWithoutWriterDoesNotHang) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readFile(dir / "fifo", 100), "");
}

TEST(ReadFile, FailuresNameTheReasonAndThePath) {
    TempDir dir;
    const struct {
        std::filesystem::path path;
        int errnum;
        const char* reason;
    } cases[] = {
        {dir / "missing", ENOENT, "文件或文件夹不存在"},
        {dir.path(), EISDIR, "这是一个文件夹"},
    };
    for (const auto& c : cases) {
        try {
            readFile(c.path, 10);
            ADD_FAILURE() << c.path;
        } catch (const SystemError& error) {
            EXPECT_EQ(error.code().value(), c.errnum);
            EXPECT_EQ(std::string(error.what()),
                      std::string("无法读取文件：") + c.reason + "（" + c.path.string() + "）");
        }
    }
}

TEST(PropertyList, ReadsXmlAndBinaryAndRefusesGarbage) {
    TempDir dir;
    for (const bool binary : {false, true}) {
        const auto bundle = dir / (binary ? "b.app" : "x.app");
        testing::writeBundle(bundle, {testing::appInfo("id", "1.0.0", "5"), binary, {}});
        const PlistValue info = parsePropertyList(testing::readText(bundle / "Contents/Info.plist"));
        ASSERT_TRUE(info.isDictionary());
        ASSERT_NE(info.find("CFBundleVersion"), nullptr);
        EXPECT_EQ(info.find("CFBundleVersion")->text, "5");
        EXPECT_EQ(info.find("nothing"), nullptr);
    }
    for (const char* garbage : {"", "plist", "bplist00", "<?xml version=\"1.0\"?><plist><dict><key>a"})
        EXPECT_THROW(parsePropertyList(garbage), PropertyListError) << garbage;
    std::string deep = "<plist version=\"1.0\">";
    for (int i = 0; i < 200; ++i)
        deep += "<array>";
    for (int i = 0; i < 200; ++i)
        deep += "</array>";
    deep += "</plist>";
    const PlistValue nested = parsePropertyList(deep);
    EXPECT_EQ(nested.kind, PlistValue::Kind::array);
}

TEST(Bundle, TheExecutableMustBeOneFileInsideTheBundle) {
    TempDir dir;
    const auto make = [&](const char* name, const char* executable, bool create) {
        std::vector<testing::PlistEntry> info = testing::appInfo("id", "1.0.0", "1", executable);
        testing::writeBundle(dir / name, {info, false,
                                          create ? std::optional<std::string>(executable)
                                                 : std::nullopt});
        return Bundle::open(dir / name)->executable();
    };
    EXPECT_EQ(make("good.app", "Tool", true), dir / "good.app/Contents/MacOS/Tool");
    EXPECT_FALSE(make("missing.app", "Tool", false));
    EXPECT_FALSE(make("escape.app", "../../../../../bin/sh", false));
    EXPECT_FALSE(make("dot.app", "..", false));
    EXPECT_FALSE(make("empty.app", "", false));
    EXPECT_FALSE(Bundle::open(dir / "none.app"));
}

TEST(OSRelease, TakesTheLeadingNumbers) {
    const struct {
        const char* text;
        std::int64_t major, minor, patch;
    } cases[] = {{"6.1.0-18-amd64", 6, 1, 0}, {"13.4.1", 13, 4, 1}, {"5.15", 5, 15, 0},
                 {"14", 14, 0, 0},           {"", 0, 0, 0},         {"x1.2", 0, 0, 0}};
    for (const auto& c : cases) {
        const OSVersion v = parseOSRelease(c.text);
        EXPECT_EQ(v.major, c.major) << c.text;
        EXPECT_EQ(v.minor, c.minor) << c.text;
        EXPECT_EQ(v.patch, c.patch) << c.text;
    }
}

TEST(RealSystem, ReportsThisMachine) {
    const RealSystem system;
    const std::string processor = system.processorName();
    EXPECT_TRUE(processor == "arm64" || processor == "x64");
    EXPECT_GT(system.osVersion().major, 0);
    EXPECT_TRUE(system.processExists(::getpid()));
    EXPECT_FALSE(system.homeFolder().empty());
}

} // namespace
} // namespace installer::platform
