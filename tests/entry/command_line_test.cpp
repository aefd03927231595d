#include "entry/command_line.h"
#include "entry/run_installer.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace installer::entry {
namespace {

using Args = std::vector<std::string>;

constexpr auto refused = "进程参数无效";

template <typename Call> std::string outcome(Call call) {
    try {
        return call();
    } catch (const std::exception& error) {
        return error.what();
    }
}

TEST(ModeChoice, VerificationNeedsAValueAndWinsOverUpdate) {
    const struct {
        Args args;
        Mode mode;
        const char* path;
    } cases[] = {
        {{"installer", "--verify-manifest", "--update"}, Mode::verification, "--update"},
        {{"installer", "--update", "--verify-manifest"}, Mode::update, ""},
        {{"installer", "--Update", "--update=1", "-update"}, Mode::graphical, ""},
    };
    for (const auto& c : cases) {
        const ModeChoice choice = chooseMode(c.args);
        EXPECT_EQ(choice.mode, c.mode) << ::testing::PrintToString(c.args);
        EXPECT_EQ(choice.manifestPath, c.path) << ::testing::PrintToString(c.args);
    }
}

TEST(WaitPID, ADecimalSigned32BitIntegerOfAtLeastTwo) {
    const std::pair<const char*, const char*> cases[] = {
        {"2", "2"},
        {"+42", "42"},
        {"2147483647", "2147483647"},
        {"1", refused},
        {"42abc", refused},
        {"2147483648", refused},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome([&] { return std::to_string(parseWaitPID(c.first)); }), c.second)
            << c.first;
}

TEST(CommandLineModes, EachModeChecksItsArgumentsInOrder) {
    const testing::TempDir dir;
    const std::string settings = testing::readText(INSTALLER_SOURCE_DIR "/config/test.json");
    const Edition edition{settings, "/nonexistent-tools", "/nonexistent-applications", ""};
    const std::string envelope =
        testing::testEditionSigner().envelope(testing::testEditionManifest().dump());
    // The envelope, or any text, padded with spaces to `size` bytes.
    const auto file = [&](std::string name, std::size_t size, std::string text = "") {
        text = text.empty() ? envelope : text;
        testing::writeFile(dir / name, text + std::string(size - text.size(), ' '));
        return (dir / name).string();
    };
    const std::string good = file("good.json", envelope.size());
    const std::string bad = (dir / "bad.json").string();
    testing::writeFile(bad, R"({"keyId":"other","payloadBase64url":"x","signature":"y"})");
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
        {{"installer", "--update", "--manifest", "--wait-pid", "123"},
         "无法读取文件：文件或文件夹不存在（--wait-pid）"},
        {{"installer", "--update", "--manifest", good, "--manifest", bad, "--wait-pid"},
         "安装参数缺失"},
        {{"installer", "--update", "--manifest", bad, "--wait-pid", "1"}, "发布密钥未知"},
        {{"installer", "--update", "--manifest", good, "--wait-pid", "42", "--target", "/x.app"},
         "安装参数缺失"},
        // Update mode takes a manifest of any reasonable size, but not a file of any size.
        {{"installer", "--update", "--manifest", file("128000.json", 128'000)}, "安装参数缺失"},
        {{"installer", "--update", "--manifest", file("16M.json", 16 << 20, "x")},
         "无法读取数据：不是有效的 JSON（第 1 个字节附近）"},
        {{"installer", "--update", "--manifest", file("16M+1.json", (16 << 20) + 1, "x")},
         "清单过大"},
    };
    const platform::RealSystem system;
    for (const auto& c : cases) {
        const auto run = [&] {
            runInstaller(c.args, edition, system);
            return std::string("ok");
        };
        EXPECT_EQ(outcome(run), c.outcome) << ::testing::PrintToString(c.args);
    }
}

} // namespace
} // namespace installer::entry
