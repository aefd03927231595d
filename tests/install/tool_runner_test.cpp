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

TEST(ToolRunner, ReturnsAllOfStandardOutputAndNothingOfStandardError) {
    TempDir dir;
    EXPECT_EQ(run(script(dir, "quiet", "exit 0\n"), {}), "");
    EXPECT_EQ(run(script(dir, "both", "echo out; echo err >&2\n"), {}), "out\n");
    // Far more than a pipe holds: read while the tool runs, not after.
    const auto big = run(script(dir, "big", "head -c 1000000 /dev/zero | tr '\\0' x\n"), {});
    EXPECT_EQ(big.size(), 1'000'000u);
}

TEST(ToolRunner, PassesArgumentsAsGivenWithoutAShell) {
    TempDir dir;
    const auto echo = script(dir, "args", "for a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
    EXPECT_EQ(run(echo, {"a b", "", "$HOME", "*", "--x=1;rm -rf /", "澄翎"}),
              "[a b][][$HOME][*][--x=1;rm -rf /][澄翎]");
}

TEST(ToolRunner, AFailedToolIsTheFixedMessageAndItsOutputIsDropped) {
    TempDir dir;
    for (const char* body : {"echo partial; exit 1\n", "exit 255\n", "kill -9 $$\n"}) {
        try {
            run(script(dir, "fails", body), {});
            ADD_FAILURE() << body;
        } catch (const InstallerError& error) {
            EXPECT_STREQ(error.what(), "安装操作失败，请检查权限后重试") << body;
        }
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
    std::vector<std::string> fds;
    std::size_t start = 0;
    for (std::size_t end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1)
        fds.push_back(listing.substr(start, end - start));
    EXPECT_EQ(fds.size(), 4u) << listing;
    EXPECT_EQ(std::count(fds.begin(), fds.end(), std::to_string(leaked)), 0) << listing;
}

} // namespace
} // namespace installer::install
