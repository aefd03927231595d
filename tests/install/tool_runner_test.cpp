#include "install/tool_runner.h"
#include "platform/system_error.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::install {
namespace {

using testing::TempDir;

// The output of a tool with this body, or the message of its failure.
std::string outcome(const TempDir& dir, const std::string& name, const std::string& body,
                    const std::vector<std::string>& args = {}) {
    if (!body.empty()) {
        testing::writeFile(dir / name, "#!/bin/sh\n" + body);
        ::chmod((dir / name).c_str(), 0755);
    }
    try {
        return run((dir / name).string(), args);
    } catch (const std::exception& error) {
        return error.what();
    }
}

TEST(ToolRunner, ReturnsStandardOutputOrTheMessageOfAFailure) {
    TempDir dir;
    const std::string failed = "安装操作失败，请检查权限后重试";
    const struct {
        std::string body;
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {"echo out; echo err >&2\n", {}, "out\n"},
        // Arguments reach the tool as given, through no shell.
        {"for a in \"$@\"; do printf '[%s]' \"$a\"; done\n",
         {"a b", "", "$HOME", "*", "--x=1;rm -rf /", "澄翎"},
         "[a b][][$HOME][*][--x=1;rm -rf /][澄翎]"},
        // Far more than a pipe holds: read while the tool runs, not after.
        {"head -c 1000000 /dev/zero | tr '\\0' x\n", {}, std::string(1'000'000, 'x')},
        {"echo partial; exit 1\n", {}, failed},
        {"kill -9 $$\n", {}, failed},
    };
    for (const auto& c : cases) {
        const std::string result = outcome(dir, "tool", c.body, c.args);
        EXPECT_TRUE(result == c.expected) << c.body << result.substr(0, 80);
    }
    EXPECT_EQ(outcome(dir, "missing", ""), "无法启动工具：" + platform::describeErrno(ENOENT) +
                                               "（" + (dir / "missing").string() + "）");
}

TEST(ToolRunner, NoDescriptorOfTheInstallerReachesTheTool) {
    TempDir dir;
    // Deliberately inheritable: the runner itself must keep it from the child.
    const int opened = ::open("/dev/null", O_RDONLY);
    const int leaked = ::fcntl(opened, F_DUPFD, 100);
    ::close(opened);
    ASSERT_GE(leaked, 100);
    const auto listing = outcome(dir, "fds", "ls /proc/self/fd\n");
    ::close(leaked);
    // 0, 1, 2 and the descriptor ls opens to read the listing.
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 4) << listing;
}

} // namespace
} // namespace installer::install
