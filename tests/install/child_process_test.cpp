// What the installer reads of the processes it starts: a tool's output, an app's health file.

#include "install/health_file.h"
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

std::string outcome(const TempDir& dir, const std::string& name, const std::string& body,
                    const std::vector<std::string>& args = {}) {
    if (!body.empty()) {
        testing::writeFile(dir / name, "#!/bin/sh\n" + body);
        ::chmod((dir / name).c_str(), 0755);
    }
    return testing::outcome([&] { return run((dir / name).string(), args); });
}

TEST(ToolRunner, ReturnsStandardOutputOrTheMessageOfAFailure) {
    TempDir dir;
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
        // As much on standard error, which only the log keeps: drained as it comes too.
        {"head -c 1000000 /dev/zero | tr '\\0' e >&2; echo done\n", {}, "done\n"},
        {"kill -9 $$\n", {}, "安装操作失败，请检查权限后重试"},
        // 0, 1, 2 and the descriptor ls opens: none of the installer's reaches the tool.
        {"ls /proc/self/fd | wc -l\n", {}, "4\n"},
    };
    // Deliberately inheritable: the runner itself must keep it from the child.
    const int opened = ::open("/dev/null", O_RDONLY), leaked = ::fcntl(opened, F_DUPFD, 100);
    ::close(opened);
    ASSERT_GE(leaked, 100);
    for (const auto& c : cases) {
        const std::string result = outcome(dir, "tool", c.body, c.args);
        EXPECT_TRUE(result == c.expected) << c.body << result.substr(0, 80);
    }
    ::close(leaked);
    EXPECT_EQ(outcome(dir, "missing", ""), "无法启动工具：" + platform::describeErrno(ENOENT) +
                                               "（" + (dir / "missing").string() + "）");
}

// Whatever else is at the health file's path must neither confirm nor stop the wait.
TEST(HealthFile, OnlyAWholeMatchingFileConfirms) {
    const std::string good = R"({"version":"1.1.0","buildNumber":110,"ready":true})";
    const struct {
        std::string text;
        bool confirms;
    } cases[] = {
        {good, true},
        {R"({"ready":true,"buildNumber":110.0,"version":"1.1.0","pid":7})", true},
        {R"({"version":"1.1.0","buildNumber":110,"ready":false})", false},
        {R"({"version":"1.1.00","buildNumber":110,"ready":true})", false},
        {R"({"version":"1.1.0","buildNumber":110.5,"ready":true})", false},
        {R"({"version":"1.1.0","buildNumber":110,"ready":1})", false},
        {R"({"version":)", false}, // half written
        {good + '\0', false},
        // Its first megabyte would confirm; what follows makes it no health file.
        {good + std::string(1'100'000, ' '), false},
    };
    TempDir dir;
    for (const auto& c : cases) {
        testing::writeFile(dir / "health.json", c.text);
        EXPECT_EQ(healthFileConfirms(dir / "health.json", "1.1.0", 110), c.confirms)
            << c.text.substr(0, 80);
    }
    // A FIFO whose writer never writes: refused at once, not read forever.
    ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
    const int writer = ::open((dir / "fifo.json").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_FALSE(healthFileConfirms(dir / "fifo.json", "1.1.0", 110));
    ::close(writer);
}

} // namespace
} // namespace installer::install
