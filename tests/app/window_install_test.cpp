// The graphical install end to end on Qt's offscreen platform: the real window, the
// real release service and package host over HTTPS, the emulated macOS tools and the
// sample application confirming its start. The button is pressed as a user would.

#include "app/window_sandbox.h"

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

} // namespace
} // namespace installer::testing
