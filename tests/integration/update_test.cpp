// Update mode end to end: the sample app 1.0.0 starts the real installer of the test
// edition for 1.1.0 and exits on READY; the installer swaps, starts the new app and
// waits for its confirmation. Killed while it waits, the next update finishes the job.

#include "install/install_fixture.h"
#include "support/fixtures.h"
#include "support/process.h"

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

class UpdateMode : public ::testing::Test {
protected:
    InstallSandbox box;
    Release release = box.release();
    std::string manifest = (box.root / "manifest.json").string();

    void SetUp() override {
        // Orphaned descendants (the installer after the app exits, the app it starts)
        // become our children, so their exit status can be read and nothing is left.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        writeFile(manifest, testEditionSigner().envelope(releaseManifest(release).dump()));
    }

    void TearDown() override {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    void expectUpdated() const {
        EXPECT_EQ(box.leftBehind(), "1.1.0");
        EXPECT_TRUE(box.sealed(box.target));
        EXPECT_EQ(box.records(), 0);
    }
};

TEST_F(UpdateMode, TheInstalledAppUpdatesItself) {
    const fs::path exe = box.target / "Contents/MacOS" / testAppName;
    const auto app = runProcess(
        {exe.string(), "--update-with", INSTALLER_TEST_BINARY, manifest, release.image.string()});
    ASSERT_EQ(app.status, 0) << readText(box.appSupport / "installer.log");

    const std::string appLog = readText(box.appSupport / "sample-app.log");
    const auto at = appLog.find("installer ");
    ASSERT_NE(at, std::string::npos) << appLog;
    const int installer = std::stoi(appLog.substr(at + 10));
    EXPECT_EQ(waitForChild(installer, 60s), 0) << readText(box.appSupport / "installer.log");

    expectUpdated();
    EXPECT_TRUE(fs::is_empty(box.appSupport / "update-health"));
    EXPECT_EQ(readText(box.appSupport / "installer.log"), ""); // nothing on standard error
    // The new app ran with the transaction id.
    EXPECT_NE(readText(box.appSupport / "sample-app.log")
                  .find("started 1.1.0 110 --installer-transaction="),
              std::string::npos);
}

TEST_F(UpdateMode, AKilledUpdateIsFinishedByTheNextOne) {
    // A process id nobody has: a child that already ended and was reaped.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::vector<std::string> args = {INSTALLER_TEST_BINARY,
                                           "--update",
                                           "--manifest",
                                           manifest,
                                           "--wait-pid",
                                           std::to_string(gone),
                                           "--package",
                                           release.image.string(),
                                           "--target",
                                           box.target.string()};

    box.healthMode("none"); // the new app never confirms: killed while waiting for it
    const int installer = spawnProcess(args, {});
    for (int i = 0; i < 3000 && !fs::exists(box.appSupport / "sample-app.log"); ++i)
        std::this_thread::sleep_for(10ms);
    ::kill(installer, SIGKILL);
    EXPECT_EQ(waitForChild(installer, 10s), 128 + SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0) {
    }
    EXPECT_EQ(box.leftBehind(), "1.1.0, previous 1.0.0, image attached");

    box.healthMode("ready");
    const auto next = runProcess(args);
    EXPECT_EQ(next.status, 0) << next.err;
    expectUpdated();
}

} // namespace
} // namespace installer::testing
