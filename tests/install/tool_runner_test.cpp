#include "install/tool_runner.h"
#include "platform/installer_error.h"
#include "platform/system_error.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::install {
namespace {

using testing::TempDir;

std::string script(const TempDir& dir, const std::string& name, const std::string& body) {
    const auto path = dir / name;
    testing::writeFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path.string();
}

TEST(ToolRunner, ReturnsStandardOutputOrTheFixedMessageOfAFailure) {
    TempDir dir;
    const std::string failed = "安装操作失败，请检查权限后重试";
    const struct {
        const char* body;
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
        std::string outcome;
        try {
            outcome = run(script(dir, "tool", c.body), c.args);
        } catch (const InstallerError& error) {
            outcome = error.what();
        }
        EXPECT_TRUE(outcome == c.expected) << c.body << outcome.substr(0, 80);
    }
}

TEST(ToolRunner, AToolThatCannotStartIsThePlatformsErrorNamingIt) {
    TempDir dir;
    testing::writeFile(dir / "plain", "not executable");
    const struct {
        std::string path;
        int errnum;
    } cases[] = {{(dir / "missing").string(), ENOENT}, {(dir / "plain").string(), EACCES}};
    for (const auto& c : cases) {
        try {
            run(c.path, {});
            ADD_FAILURE() << c.path;
        } catch (const platform::SystemError& error) {
            EXPECT_EQ(error.code().value(), c.errnum);
            EXPECT_NE(std::string(error.what()).find(c.path), std::string::npos);
            EXPECT_EQ(std::string(error.what()).rfind("无法启动工具：", 0), 0u);
        }
    }
}

TEST(ToolRunner, NoDescriptorOfTheInstallerReachesTheTool) {
    TempDir dir;
    // Deliberately inheritable: the runner itself must keep it from the child.
    const int opened = ::open("/dev/null", O_RDONLY);
    const int leaked = ::fcntl(opened, F_DUPFD, 100);
    ::close(opened);
    ASSERT_GE(leaked, 100);
    const auto listing = run(script(dir, "fds", "ls /proc/self/fd\n"), {});
    ::close(leaked);
    // 0, 1, 2 and the descriptor ls opens to read the listing.
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 4) << listing;
}

} // namespace
} // namespace installer::install
