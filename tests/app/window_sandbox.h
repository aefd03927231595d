#pragma once

#include "app/app_delegate.h"
#include "app/qt_window_display.h"
#include "hosts/nginx_host.h"
#include "hosts/release_service_host.h"
#include "hosts/test_ca.h"
#include "support/fixtures.h"
#include "support/release_maker.h"
#include "support/temp_dir.h"
#include "ui/installer_window.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace installer::testing {

// This machine, except that no application counts as running: tests running beside this
// one start sample apps with the same identifier, which would block the install.
class SandboxSystem final : public platform::System {
public:
    std::string processorName() const override { return real_.processorName(); }
    platform::OSVersion osVersion() const override { return real_.osVersion(); }
    platform::Clock::time_point now() const override { return real_.now(); }
    void sleep(std::chrono::milliseconds duration) const override { real_.sleep(duration); }
    std::filesystem::path homeFolder() const override { return real_.homeFolder(); }
    std::vector<std::string> runningBundleIdentifiers() const override { return {}; }
    bool processExists(int pid) const override { return real_.processExists(pid); }

private:
    platform::RealSystem real_;
};

// Everything a graphical install needs on this machine: a sandbox Applications folder
// and home, the release service and package host over HTTPS with a test CA, a release
// of the sample app, and the real window, display and delegate on the current thread's
// event loop (a QApplication must exist). The environment the sample app and the
// emulated tools read is set while it lives and restored afterwards.
class WindowSandbox {
public:
    explicit WindowSandbox(ReleaseRecipe recipe = {.version = "1.1.0", .build = "110"});
    ~WindowSandbox();

    // Presses the card's button and runs the event loop until the run has ended; the
    // names of the phases shown, in order, without repeats.
    std::vector<std::string> pressAndWait();
    std::string phase() const;

    std::filesystem::path target() const { return apps / "AI澄翎网盘测试版.app"; }
    std::filesystem::path cacheFolder() const;

    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    TempDir root;
    std::filesystem::path apps = root / "Applications", home = root / "home",
                          control = root / "control", tmp = root / "tmp",
                          packages = root / "packages";
    TestCA ca = makeTestCA(root / "ca");
    Signer signer = testEditionSigner();
    ReleaseServiceHost service{ca, signer};
    NginxHost packageHost{packages, ca};
    Release release;
    release::Settings config;
    SandboxSystem system;
    platform::FileManager files;
    std::optional<app::QtMainThread> mainThread;
    std::optional<app::NetworkInstallServices> services;
    ui::InstallerWindow window;
    std::optional<app::WindowDisplay> display;
    std::optional<app::AppDelegate> delegate;
};

} // namespace installer::testing
