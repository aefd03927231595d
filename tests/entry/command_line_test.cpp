#include "entry/command_line.h"
#include "platform/installer_error.h"

#include <gtest/gtest.h>

namespace installer::entry {
namespace {

using Args = std::vector<std::string>;

TEST(ModeChoice, VerificationNeedsAValueAndWinsOverUpdate) {
    const struct {
        Args args;
        Mode mode;
        const char* path;
    } cases[] = {
        {{"installer", "--verify-manifest", "m.json"}, Mode::verification, "m.json"},
        {{"installer", "--update", "--verify-manifest", "m.json"}, Mode::verification, "m.json"},
        {{"installer", "--verify-manifest", "--update"}, Mode::verification, "--update"},
        {{"installer", "--update", "--verify-manifest"}, Mode::update, ""},
        {{"installer", "--verify-manifest"}, Mode::graphical, ""},
        {{"installer", "--verify-manifest", "a", "--verify-manifest", "b"}, Mode::verification, "a"},
        {{"installer"}, Mode::graphical, ""},
        {{"installer", "--Update", "--update=1", "-update"}, Mode::graphical, ""},
        {{"--update"}, Mode::update, ""},  // the program path takes part in the search
        {{"--verify-manifest", "m.json"}, Mode::verification, "m.json"},
    };
    for (const auto& c : cases) {
        const ModeChoice choice = chooseMode(c.args);
        EXPECT_EQ(choice.mode, c.mode) << ::testing::PrintToString(c.args);
        EXPECT_EQ(choice.manifestPath, c.path) << ::testing::PrintToString(c.args);
    }
}

TEST(OptionValue, TheFirstOccurrenceWinsAndAnythingMayFollow) {
    const Args args = {"installer", "--manifest", "--wait-pid", "--target", "a", "--target", "b"};
    EXPECT_EQ(optionValue(args, "--manifest"), "--wait-pid");
    EXPECT_EQ(optionValue(args, "--target"), "a");
    for (const char* missing : {"--package", "--manifest=x"}) {
        try {
            optionValue(args, missing);
            ADD_FAILURE() << missing;
        } catch (const InstallerError& error) {
            EXPECT_STREQ(error.what(), "安装参数缺失");
        }
    }
    EXPECT_THROW(optionValue({"installer", "--package"}, "--package"), InstallerError);
}

TEST(WaitPID, ADecimalSigned32BitIntegerOfAtLeastTwo) {
    const struct {
        const char* text;
        int pid;  // 0: refused
    } cases[] = {
        {"2", 2},        {"42", 42},          {"+42", 42},          {"2147483647", 2147483647},
        {"0042", 42},    {"1", 0},            {"0", 0},             {"-7", 0},
        {"", 0},         {"2147483648", 0},   {"42abc", 0},         {" 42", 0},
        {"42 ", 0},      {"+", 0},            {"++42", 0},          {"4.2", 0},
        {"99999999999999999999999", 0},
    };
    for (const auto& c : cases) {
        if (c.pid) {
            EXPECT_EQ(parseWaitPID(c.text), c.pid) << c.text;
            continue;
        }
        try {
            parseWaitPID(c.text);
            ADD_FAILURE() << "accepted " << c.text;
        } catch (const InstallerError& error) {
            EXPECT_STREQ(error.what(), "进程参数无效") << c.text;
        }
    }
}

} // namespace
} // namespace installer::entry
