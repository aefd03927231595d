#pragma once

#include "app/app_delegate.h"
#include "app/qt_window_display.h"
#include "hosts/hosts.h"
#include "platform/file_event_log.h"
#include "support/fixtures.h"
#include "support/release_maker.h"
#include "support/temp_dir.h"
#include "ui/installer_card_view.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPushButton>
#include <cstdlib>

namespace installer::testing {

// This machine, except that only the applications a test names count as running: tests
// running beside this one start sample apps with the same identifier, which would block
// the install.
class SandboxSystem final : public platform::RealSystem {
public:
    std::vector<std::string> running;
    std::vector<std::string> runningBundleIdentifiers() const override { return running; }
};

// Sandbox folders (the process's home from now on), hosts over HTTPS, a sample release,
// and the real window and delegate on this thread's event loop (a QApplication exists).
class WindowSandbox {
public:
    explicit WindowSandbox(const ReleaseRecipe& recipe = {}) {
        for (const char* dir : {"Applications", "home", "control", "tmp", "packages/releases"})
            std::filesystem::create_directories(root / dir);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
        ::setenv("EMULATED_TOOLS_CONTROL", (root / "control").c_str(), 1);
        ::setenv("SAMPLE_APP_HEALTH", "ready", 1);
        release = makeRelease(root / "release", recipe);
        std::filesystem::copy_file(release.image, root / "packages/releases/AI.dmg");
        service.addRelease(releaseManifest(release, recipe));
        QObject::connect(&window, &ui::InstallerWindow::actionClicked,
                         [this] { delegate.action(); });
        window.show();
    }

    // Presses the card's button and runs events until the run ends; the phases shown.
    std::vector<std::string> pressAndWait() {
        window.cardView().findChild<QPushButton*>()->click();
        std::vector<std::string> seen;
        const QDeadlineTimer deadline(120'000);
        while (delegate.running() && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (seen.empty() || seen.back() != phase())
                seen.push_back(phase());
        }
        return seen;
    }
    std::string phase() const {
        static const char* const names[] = {"ready",      "checking", "downloading", "verifying",
                                            "installing", "complete", "failed",      "cancelled"};
        return names[window.card().phase.index()];
    }

    TempDir root;
    std::filesystem::path apps = root / "Applications", home = root / "home";
    TestCA ca = makeTestCA(root / "ca");
    Signer signer = testEditionSigner();
    ReleaseServiceHost service{ca, signer};
    NginxHost packageHost{root / "packages", ca};
    Release release;
    release::Settings config{service.origin(),
                             "sit",
                             settingsFor(signer).keys,
                             {"localhost"},
                             settingsFor(signer).installerVersion};
    SandboxSystem system;
    platform::FileManager files;
    // As a real run keeps it, so the window meets the log's cost as well.
    platform::FileEventLog log{home / "Library/Logs/installer.log"};
    app::QtMainThread mainThread{*QCoreApplication::instance()};
    // The manifest names https://localhost/…; the package host stands in for port 443.
    app::NetworkInstallServices services{
        config, system,
        app::TransportOptions{ca.caFile.string(),
                              {"localhost:443:127.0.0.1:" + std::to_string(packageHost.port())}},
        emulatedToolsDir().string(), log};
    ui::InstallerWindow window;
    app::WindowDisplay display{window};
    // Last, so that it is gone, its run wound down, before anything it uses.
    app::AppDelegate delegate{config, {apps, system, files, mainThread, services, log}, display};
};

} // namespace installer::testing
