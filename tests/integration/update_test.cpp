// Update mode end to end: the sample app 1.0.0 starts the real installer for 1.1.0 and
// exits on READY; the installer swaps, starts the new app and waits for its confirmation.

#include "install/install_fixture.h"
#include "support/fixtures.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(UpdateMode, TheInstalledAppUpdatesItself) {
    // Orphaned descendants (the installer after the app exits, the app it starts) become
    // our children, so their exit status can be read and nothing is left.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    InstallSandbox box;
    const Release release = box.release();
    const std::string manifest = (box.root / "manifest.json").string();
    writeFile(manifest, testEditionSigner().envelope(releaseManifest(release).dump()));
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    const fs::path exe = box.target / "Contents/MacOS" / testAppName;
    const auto app = runProcess(
        {exe.string(), "--update-with", INSTALLER_TEST_BINARY, manifest, release.image.string()});
    ASSERT_EQ(app.status, 0) << readText(box.appSupport / "installer.log");

    const std::string appLog = readText(box.appSupport / "sample-app.log");
    const auto at = appLog.find("installer ");
    ASSERT_NE(at, std::string::npos) << appLog;
    const int installer = std::stoi(appLog.substr(at + 10));
    EXPECT_EQ(waitForChild(installer, 60s), 0) << readText(box.appSupport / "installer.log");

    EXPECT_EQ(box.leftBehind(), "1.1.0");
    EXPECT_EQ(readText(box.appSupport / "installer.log"), ""); // nothing on standard error
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

} // namespace
} // namespace installer::testing
