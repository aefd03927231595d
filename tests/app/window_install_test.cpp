// The graphical install end to end on Qt's offscreen platform: the real window, the
// real release service and package host over HTTPS, the emulated macOS tools and the
// sample application confirming its start. The button is pressed as a user would.

#include "app/app_delegate.h"
#include "app/qt_window_display.h"
#include "hosts/nginx_host.h"
#include "hosts/release_service_host.h"
#include "hosts/test_ca.h"
#include "support/fixtures.h"
#include "support/release_maker.h"
#include "support/temp_dir.h"
#include "ui/installer_card_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;

std::string phaseName(const ui::InstallerPhase& phase) {
    static const char* const names[] = {"ready",      "checking", "downloading", "verifying",
                                        "installing", "complete", "failed",      "cancelled"};
    return names[phase.index()];
}

class WindowInstall : public ::testing::Test {
protected:
    WindowInstall() {
        for (const auto& dir : {apps, home, control, tmp, packages / "releases"})
            fs::create_directories(dir);
        // The sample app and the emulated tools read these from the environment.
        for (const auto& [name, value] :
             std::vector<std::pair<const char*, std::string>>{{"HOME", home},
                                                              {"TMPDIR", tmp},
                                                              {"EMULATED_TOOLS_CONTROL", control},
                                                              {"SAMPLE_APP_HEALTH", "ready"}}) {
            const char* old = std::getenv(name);
            saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name, value.c_str(), 1);
        }

        release = makeRelease(root / "r110", {.version = "1.1.0", .build = "110"});
        fs::copy_file(release.image, packages / "releases/AI.dmg");
        auto manifest = testEditionManifest();
        manifest["appVersion"] = "1.1.0";
        manifest["buildNumber"] = 110;
        manifest["package"]["sizeBytes"] = release.package.sizeBytes;
        manifest["package"]["sha256"] = release.package.sha256;
        service.addRelease(manifest);

        config = settingsFor(signer);
        config.apiOrigin = service.origin();
        config.environment = "sit";
        config.downloadHosts = {"localhost"};
    }

    ~WindowInstall() override {
        for (const auto& [name, value] : saved) {
            if (value)
                ::setenv(name, value->c_str(), 1);
            else
                ::unsetenv(name);
        }
    }

    // Presses the card's button and runs the event loop until the run has ended.
    std::vector<std::string> pressAndWait(ui::InstallerWindow& window, app::AppDelegate& delegate) {
        auto* button = window.cardView().findChild<QPushButton*>();
        EXPECT_NE(button, nullptr);
        button->click();
        std::vector<std::string> seen;
        QElapsedTimer clock;
        clock.start();
        while (delegate.running() && clock.elapsed() < 120'000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            const std::string name = phaseName(window.card().phase);
            if (seen.empty() || seen.back() != name)
                seen.push_back(name);
        }
        return seen;
    }

    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    TempDir root;
    fs::path apps = root / "Applications", home = root / "home", control = root / "control",
             tmp = root / "tmp", packages = root / "packages";
    TestCA ca = makeTestCA(root / "ca");
    Signer signer = testEditionSigner();
    ReleaseServiceHost service{ca, signer};
    NginxHost packageHost{packages, ca};
    Release release;
    release::Settings config;
    platform::RealSystem system;
    platform::FileManager files;
};

TEST_F(WindowInstall, ThePressedButtonInstallsTheReleaseAndRemovesItsCache) {
    app::QtMainThread mainThread(*QCoreApplication::instance());
    app::NetworkInstallServices services(
        config, system,
        {ca.caFile.string(), {"localhost:443:127.0.0.1:" + std::to_string(packageHost.port())}},
        emulatedToolsDir().string());
    ui::InstallerWindow window;
    app::WindowDisplay display(window);
    app::AppDelegate delegate(config, {apps, system, files, mainThread, services}, display);
    QObject::connect(&window, &ui::InstallerWindow::actionClicked, [&] { delegate.action(); });
    window.show();

    const auto phases = pressAndWait(window, delegate);
    ASSERT_EQ(phaseName(window.card().phase), "complete") << window.card().detail;
    for (const char* expected : {"checking", "downloading", "verifying", "installing"})
        EXPECT_NE(std::find(phases.begin(), phases.end(), expected), phases.end()) << expected;
    const fs::path target = apps / "AI澄翎网盘测试版.app";
    EXPECT_EQ(bundleShortVersion(target), "1.1.0");
    EXPECT_EQ(emulatedTool("codesign", {"--verify", "--deep", "--strict", target.string()}), 0);
    EXPECT_FALSE(
        fs::exists(home / "Library/Caches/com.tavelo.installer/sit" / release.package.sha256));
}

TEST_F(WindowInstall, AFailedRecheckIsShownOnTheCardAndKeepsTheDownload) {
    service.steer({{"recheck", {{"artifactId", "art-2"}}}});
    app::QtMainThread mainThread(*QCoreApplication::instance());
    app::NetworkInstallServices services(
        config, system,
        {ca.caFile.string(), {"localhost:443:127.0.0.1:" + std::to_string(packageHost.port())}},
        emulatedToolsDir().string());
    ui::InstallerWindow window;
    app::WindowDisplay display(window);
    app::AppDelegate delegate(config, {apps, system, files, mainThread, services}, display);
    QObject::connect(&window, &ui::InstallerWindow::actionClicked, [&] { delegate.action(); });
    window.show();

    pressAndWait(window, delegate);
    ASSERT_EQ(phaseName(window.card().phase), "failed");
    EXPECT_FALSE(window.card().detail.empty());
    EXPECT_TRUE(window.card().expanded);
    const fs::path cached =
        home / "Library/Caches/com.tavelo.installer/sit" / release.package.sha256 / "package.dmg";
    EXPECT_EQ(fs::file_size(cached), static_cast<std::uintmax_t>(release.package.sizeBytes));
    EXPECT_FALSE(fs::exists(apps / "AI澄翎网盘测试版.app"));
}

} // namespace
} // namespace installer::testing
