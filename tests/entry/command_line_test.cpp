#include "entry/command_line.h"
#include "entry/run_installer.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace installer::entry {
namespace {

using Args = std::vector<std::string>;

constexpr auto refused = "进程参数无效", missing = "安装参数缺失";

TEST(CommandLineModes, EachModeChecksItsArgumentsInOrder) {
    const testing::TempDir dir;
    const std::string settings = testing::readText(INSTALLER_SOURCE_DIR "/config/test.json");
    const Edition edition{settings, "/nonexistent-tools", "/nonexistent-applications", ""};
    const std::string envelope =
        testing::testEditionSigner().envelope(testing::testEditionManifest().dump());
    const auto file = [&](std::string name, std::size_t size, std::string text = "") {
        text = text.empty() ? envelope : text;
        testing::writeFile(dir / name, text + std::string(size - text.size(), ' '));
        return (dir / name).string();
    };
    const std::string good = file("good.json", envelope.size());
    const std::string bad = (dir / "bad.json").string();
    testing::writeFile(bad, R"({"keyId":"other","payloadBase64url":"x","signature":"y"})");
    // A valid update up to the wait: the package is still missing after it.
    const auto waitFor = [&](const char* pid) {
        return Args{"installer", "--update", "--manifest", good, "--wait-pid", pid};
    };
    const struct {
        Args args;
        std::string outcome;
    } cases[] = {
        {{"installer", "--verify-manifest", file("127999.json", 127'999)}, "ok"},
        {{"installer", "--verify-manifest", file("128000.json", 128'000)}, "清单过大"},
        // Read from no device or pipe, however much it offers.
        {{"installer", "--verify-manifest", "/dev/zero"},
         "无法读取文件：这不是普通文件（/dev/zero）"},
        // A value is the argument after the first occurrence, whatever it looks like.
        {{"installer", "--verify-manifest", "--update"},
         "无法读取文件：文件或文件夹不存在（--update）"},
        {{"installer", "--update", "--verify-manifest"}, missing},
        {{"installer", "--update", "--manifest", "--wait-pid", "123"},
         "无法读取文件：文件或文件夹不存在（--wait-pid）"},
        {{"installer", "--update", "--manifest", good, "--manifest", bad, "--wait-pid"}, missing},
        {{"installer", "--update", "--manifest", bad, "--wait-pid", "1"}, "发布密钥未知"},
        // The process to wait for is a signed 32-bit decimal of at least two.
        {waitFor("1"), refused},
        {waitFor("2"), missing},
        {waitFor("+42"), missing},
        {waitFor("2147483647"), missing},
        {waitFor("2147483648"), refused},
        {waitFor("42abc"), refused},
        // Update mode takes a manifest of any reasonable size, but not a file of any size.
        {{"installer", "--update", "--manifest", file("128000.json", 128'000)}, missing},
        {{"installer", "--update", "--manifest", file("16M.json", 16 << 20, "x")},
         "无法读取数据：不是有效的 JSON（第 1 个字节附近）"},
        {{"installer", "--update", "--manifest", file("16M+1.json", (16 << 20) + 1, "x")},
         "清单过大"},
    };
    const platform::RealSystem system;
    for (const auto& c : cases)
        EXPECT_EQ(testing::outcome([&] { runInstaller(c.args, edition, system); }), c.outcome)
            << ::testing::PrintToString(c.args);
    // Only the exact spelling asks for update mode; anything else opens the window.
    EXPECT_EQ(chooseMode({"installer", "--Update", "--update=1", "-update"}).mode, Mode::graphical);
}

} // namespace
} // namespace installer::entry
