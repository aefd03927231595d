// Update mode end to end: the sample app 1.0.0 starts the real installer of the test
// edition for 1.1.0 and exits on READY; the installer swaps, starts the new app and
// waits for its confirmation. Killed at every tool and while it waits for the new app,
// the next update made the same way finishes what the dead one left.

#include "support/fixtures.h"
#include "support/process.h"
#include "support/release_maker.h"
#include "support/temp_dir.h"

#include <csignal>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class UpdateMode : public ::testing::Test {
protected:
    TempDir root;
    fs::path apps = root / "Applications", home = root / "home", control = root / "control",
             tmp = root / "tmp";
    fs::path target = apps / (std::string(testAppName) + ".app");
    fs::path support = home / "Library/Application Support" / testAppName;
    std::map<std::string, std::string> environment = {{"HOME", home.string()},
                                                      {"TMPDIR", tmp.string()},
                                                      {"EMULATED_TOOLS_CONTROL", control.string()},
                                                      {"SAMPLE_APP_HEALTH", "ready"}};
    Release oldRelease, newRelease;
    std::string manifest;

    void SetUp() override {
        for (const auto& dir : {apps, home, control, tmp})
            fs::create_directories(dir);
        // Orphaned descendants (the installer after the app exits, the app it starts)
        // become our children, so their exit status can be read and nothing is left.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        oldRelease = makeRelease(root / "r100", {.version = "1.0.0", .build = "100"});
        newRelease = makeRelease(root / "r110", {.version = "1.1.0", .build = "110"});
        fs::copy(oldRelease.bundle, target,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        manifest = (root / "manifest.json").string();
        writeFile(manifest, testEditionSigner().envelope(releaseManifest(newRelease).dump()));
    }

    void TearDown() override {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    // 1.1.0 is at the target, sealed, nothing is hidden beside it and every image is
    // detached.
    void expectUpdated(const std::string& moment) const {
        EXPECT_EQ(bundleShortVersion(target), "1.1.0") << moment;
        EXPECT_EQ(emulatedTool("codesign", {"--verify", "--deep", "--strict", target.string()}), 0)
            << moment;
        for (const auto& entry : fs::directory_iterator(apps))
            EXPECT_NE(entry.path().filename().string().rfind(".tavelo-", 0), 0u) << moment;
        EXPECT_TRUE(fs::is_empty(tmp)) << moment;
    }
    static void waitFor(const fs::path& file) {
        for (int i = 0; i < 3000 && !fs::exists(file); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(fs::exists(file)) << file << " never appeared";
    }
    // A process id nobody has: a child that already ended and was reaped.
    static int deadPid() {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(0);
        ::waitpid(pid, nullptr, 0);
        return pid;
    }
    std::vector<std::string> installerArgs(int waitPid) const {
        const std::string pid = std::to_string(waitPid), package = newRelease.image.string();
        return {INSTALLER_TEST_BINARY, "--update", "--manifest", manifest,       "--wait-pid", pid,
                "--package",           package,    "--target",   target.string()};
    }
};

TEST_F(UpdateMode, TheInstalledAppUpdatesItself) {
    const fs::path exe = target / "Contents/MacOS" / testAppName;
    const auto app = runProcess(
        {exe.string(), "--update-with", INSTALLER_TEST_BINARY, manifest, newRelease.image.string()},
        environment);
    ASSERT_EQ(app.status, 0) << readText(support / "installer.log");

    const std::string appLog = readText(support / "sample-app.log");
    const auto at = appLog.find("installer ");
    ASSERT_NE(at, std::string::npos) << appLog;
    const int installer = std::stoi(appLog.substr(at + 10));
    EXPECT_EQ(waitForChild(installer, 60s), 0) << readText(support / "installer.log");

    expectUpdated("first run");
    EXPECT_TRUE(fs::is_empty(support / "update-health"));
    EXPECT_EQ(readText(support / "installer.log"), ""); // nothing on standard error
    // The new app ran with the transaction id.
    EXPECT_NE(
        readText(support / "sample-app.log").find("started 1.1.0 110 --installer-transaction="),
        std::string::npos);
}

TEST_F(UpdateMode, AKilledUpdateIsFinishedByTheNextOne) {
    // Each moment: the control switches that hold the installer there, each set once the
    // one before is reached; or none: killed while it waits for an app that stays silent.
    for (const std::string moment : {"hdiutil-attach", "lipo", "codesign-verify", "ditto",
                                     "ditto codesign-verify", "open", "", "hdiutil-detach"}) {
        std::istringstream words(moment);
        const std::vector<std::string> holds{std::istream_iterator<std::string>(words), {}};
        fs::remove_all(target);
        fs::copy(oldRelease.bundle, target, fs::copy_options::recursive);
        environment["SAMPLE_APP_HEALTH"] = holds.empty() ? "none" : "ready";
        if (!holds.empty())
            writeFile(control / ("block-" + holds.front()), "");
        const int installer = spawnProcess(installerArgs(deadPid()), environment);
        for (std::size_t i = 0; i < holds.size(); ++i) {
            waitFor(control / ("blocked-" + holds[i]));
            if (i + 1 < holds.size()) {
                writeFile(control / ("block-" + holds[i + 1]), "");
                fs::remove(control / ("block-" + holds[i]));
            }
        }
        if (holds.empty())
            waitFor(support / "sample-app.log");
        ::kill(installer, SIGKILL);
        EXPECT_EQ(waitForChild(installer, 10s), 128 + SIGKILL) << moment;
        // A held tool goes on by itself once released, as it would after a real kill.
        if (!holds.empty())
            fs::remove(control / ("block-" + holds.back()));
        while (::waitpid(-1, nullptr, 0) > 0) {
        }
        fs::remove(support / "sample-app.log");

        environment["SAMPLE_APP_HEALTH"] = "ready";
        const auto next = runProcess(installerArgs(deadPid()), environment);
        // After these the new app confirmed its start after all: that release is installed.
        const bool confirmed = moment == "open" || moment == "hdiutil-detach";
        EXPECT_EQ(next.status, confirmed ? 1 : 0) << moment << next.err;
        expectUpdated(moment);
    }
}

} // namespace
} // namespace installer::testing
