// The graphical install end to end on Qt's offscreen platform: the real window, the
// real release service and package host over HTTPS, the emulated macOS tools and the
// sample application confirming its start. The button is pressed as a user would.

#include "app/window_sandbox.h"
#include "install/install.h"
#include "support/fake_system.h"

#include <gtest/gtest.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;

TEST(WindowInstall, ThePressedButtonInstallsTheReleaseAndRemovesItsCache) {
    WindowSandbox sandbox;
    const auto phases = sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "complete") << sandbox.window.card().detail;
    for (const char* expected : {"checking", "downloading", "verifying", "installing"})
        EXPECT_NE(std::find(phases.begin(), phases.end(), expected), phases.end()) << expected;
    EXPECT_EQ(bundleShortVersion(sandbox.target()), "1.1.0");
    EXPECT_EQ(
        emulatedTool("codesign", {"--verify", "--deep", "--strict", sandbox.target().string()}), 0);
    EXPECT_FALSE(fs::exists(sandbox.cacheFolder()));
}

TEST(WindowInstall, AFailedRecheckIsShownOnTheCardAndKeepsTheDownload) {
    WindowSandbox sandbox;
    sandbox.service.steer({{"recheck", {{"artifactId", "art-2"}}}});
    sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "failed");
    EXPECT_FALSE(sandbox.window.card().detail.empty());
    EXPECT_TRUE(sandbox.window.card().expanded);
    EXPECT_EQ(fs::file_size(sandbox.cacheFolder() / "package.dmg"),
              static_cast<std::uintmax_t>(sandbox.release.package.sizeBytes));
    EXPECT_FALSE(fs::exists(sandbox.target()));
}

TEST(WindowInstall, TheInstalledReleaseIsRefusedBeforeItsDownloadUnlessItNeedsARepair) {
    WindowSandbox sandbox;
    const auto hidden = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(sandbox.apps))
            if (entry.path().filename().string().rfind(".tavelo-", 0) == 0)
                names.push_back(entry.path().filename().string());
        return names;
    };
    fs::copy(sandbox.release.bundle, sandbox.target(), fs::copy_options::recursive);
    auto phases = sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "failed");
    EXPECT_EQ(sandbox.window.card().detail, "已安装相同或更新版本");
    EXPECT_EQ(std::find(phases.begin(), phases.end(), "downloading"), phases.end());
    EXPECT_FALSE(fs::exists(sandbox.cacheFolder()));

    // An update to this release whose new app never confirmed its start.
    fs::remove_all(sandbox.target());
    const Release old = makeRelease(sandbox.root / "old", {.version = "1.0.0", .build = "100"});
    fs::copy(old.bundle, sandbox.target(), fs::copy_options::recursive);
    ::setenv("SAMPLE_APP_HEALTH", "none", 1);
    FakeSystem update; // waits a minute for the health file without waiting it
    update.home = sandbox.home;
    update.realSleepShare = 0.02;
    EXPECT_THROW(install::install(sandbox.release.image, manifestFor(sandbox.release),
                                  sandbox.target(), 4242, [](const std::string&) {},
                                  {emulatedToolsDir().string(), update, sandbox.files}),
                 std::exception);
    ::setenv("SAMPLE_APP_HEALTH", "ready", 1);
    ASSERT_EQ(hidden().size(), 1u);

    phases = sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "complete") << sandbox.window.card().detail;
    EXPECT_NE(std::find(phases.begin(), phases.end(), "downloading"), phases.end());
    EXPECT_EQ(bundleShortVersion(sandbox.target()), "1.1.0");
    EXPECT_EQ(
        emulatedTool("codesign", {"--verify", "--deep", "--strict", sandbox.target().string()}), 0);
    EXPECT_TRUE(hidden().empty());
}

} // namespace
} // namespace installer::testing
