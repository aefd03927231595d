// The installer, in a forked child, killed in each stage of a transaction; a tool it was
// running goes on by itself. The next install must finish or undo what the dead one left.

#include "install_fixture.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto renames = "the renames", healthWait = "the health wait";

void waitFor(const fs::path& file) {
    for (int i = 0; i < 3000 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(file)) << file << " never appeared";
}

TEST(Kill, TheNextRunFinishesOrUndoesWhatTheKilledOneLeft) {
    // Tools and apps the killed run left become ours, so they can be waited for.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    InstallSandbox box;
    const Release release = box.release(); // made before any tool blocks
    // The copy's check is the second codesign run of a transaction: it has a switch of its own.
    box.overrideTool("codesign", R"(c=$EMULATED_TOOLS_CONTROL
if [[ $4 == */.tavelo-new-* && -e $c/block-copy-codesign ]]; then
    : >"$c/blocked-copy-codesign"
    while [[ -e $c/block-copy-codesign ]]; do sleep 0.02; done
fi
exec "$real" "$@"
)");
    const struct {
        std::string stop;                // a tool's control switch, the renames or the health wait
        std::string afterKill;           // beside its record and the attached image
        std::optional<int> waitPID = {}; // update mode
        const char* health = "ready";    // how the app started by the killed run answers
        std::string nextRun = "ok";      // what the next install answers
    } points[] = {
        // The image is mounted after the installer died, so only the system knows where.
        {"hdiutil-attach", "1.0.0"},
        {"lipo", "1.0.0"},
        {"codesign-verify", "1.0.0"}, // the image's bundle
        {"ditto", "1.0.0, staging 1.1.0"},
        {"copy-codesign", "1.0.0, staging 1.1.0"},
        {renames, "nothing, staging 1.1.0, previous 1.0.0", 4242},
        // The launch goes on without the installer, and the new app confirms after all.
        {"open", "1.1.0, previous 1.0.0", {}, "ready", "已安装相同或更新版本"},
        {healthWait, "1.1.0, previous 1.0.0", {}, "none"},
    };
    // The killed run spells the target otherwise than the run that repairs it.
    const fs::path name = box.target.filename();
    const fs::path spellings[] = {box.apps / "." / name, fs::path(box.apps.string() + "//") / name,
                                  box.root / "tmp" / ".." / "Applications" / name};
    int row = 0;
    for (const auto& point : points) {
        const fs::path spelled = spellings[row++ % std::size(spellings)];
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        const auto stopHere = [&] { // in the child: mark the moment, and wait for the kill
            writeFile(box.control / ("blocked-" + point.stop), "");
            for (;;)
                ::pause();
        };
        box.files = {}; // moves are counted from here
        box.files.beforeMove = [&](int move) {
            if (point.stop == renames && move == 2)
                stopHere();
        };
        box.onStatus = [&](const std::string& text) {
            if (point.stop == healthWait && text == "安装完成，正在确认启动…")
                stopHere();
        };
        ::setenv("SAMPLE_APP_HEALTH", point.health, 1);
        writeFile(box.control / ("block-" + point.stop), "");
        const pid_t child = ::fork();
        if (child == 0) {
            box.target = spelled;
            ::_exit(box.install(release, point.waitPID) == "ok");
        }
        waitFor(box.control / ("blocked-" + point.stop));
        ::kill(child, SIGKILL);
        fs::remove(box.control / ("block-" + point.stop));
        fs::remove(box.control / ("blocked-" + point.stop));
        while (::waitpid(-1, nullptr, 0) > 0) {
        }
        box.files = {};
        box.onStatus = nullptr;
        ::setenv("SAMPLE_APP_HEALTH", "ready", 1);
        EXPECT_EQ(box.leftBehind(), point.afterKill + ", record, image attached") << point.stop;

        // The graphical run checks the target before its download; update mode does not.
        const int infos = box.count("hdiutil info");
        std::string outcome = point.waitPID ? "ok" : box.check(release);
        if (outcome == "ok")
            outcome = box.install(release, point.waitPID);
        EXPECT_EQ(outcome, point.nextRun) << point.stop;
        EXPECT_EQ(box.leftBehind(), "1.1.0") << point.stop;
        EXPECT_TRUE(box.sealed(box.target)) << point.stop;
        // Only the first run after the kill asks the system what is still attached.
        EXPECT_LE(box.count("hdiutil info") - infos, 1) << point.stop;
    }
    while (::waitpid(-1, nullptr, 0) > 0) { // the app the last run started
    }
}

TEST(Kill, ASecondInstallerForTheSameTargetLeavesTheFirstAlone) {
    InstallSandbox box;
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    const Release release = box.release();
    writeFile(box.control / "block-ditto", "");
    const pid_t first = ::fork();
    if (first == 0)
        ::_exit(box.install(release) == "ok" ? 0 : 1);
    waitFor(box.control / "blocked-ditto");
    EXPECT_EQ(box.check(release), "另一个安装正在进行，请稍后重试");
    // Another spelling of the path, and another user, are the same target.
    const fs::path plain = box.target;
    for (const fs::path& spelled :
         {plain, box.apps / "." / plain.filename(), box.apps / "ai澄翎网盘测试版.app"}) {
        for (const fs::path& home : {box.home, box.root / "another-user"}) {
            box.target = spelled;
            box.system.home = home;
            EXPECT_EQ(box.install(release, 4242), "另一个安装正在进行，请稍后重试") << spelled;
            EXPECT_EQ(box.ready, ""); // refused before the running app was told to exit
        }
    }
    box.target = plain;
    box.system.home = box.home;
    fs::remove(box.control / "block-ditto");
    int status = 0;
    ::waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(box.leftBehind(), "1.1.0");
    EXPECT_EQ(box.count("hdiutil attach"), 1); // the second ran no tool
}

} // namespace
} // namespace installer::testing
