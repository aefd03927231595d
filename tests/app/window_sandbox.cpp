#include "app/window_sandbox.h"

#include "ui/installer_card_view.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <cstdlib>

namespace installer::testing {

namespace fs = std::filesystem;

WindowSandbox::WindowSandbox(ReleaseRecipe recipe) {
    for (const auto& dir : {apps, home, control, tmp, packages / "releases"})
        fs::create_directories(dir);
    for (const auto& [name, value] :
         std::vector<std::pair<const char*, std::string>>{{"HOME", home},
                                                          {"TMPDIR", tmp},
                                                          {"EMULATED_TOOLS_CONTROL", control},
                                                          {"SAMPLE_APP_HEALTH", "ready"}}) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name, value.c_str(), 1);
    }

    release = makeRelease(root / "release", recipe);
    fs::copy_file(release.image, packages / "releases/AI.dmg");
    service.addRelease(releaseManifest(release, recipe));

    config = settingsFor(signer);
    config.apiOrigin = service.origin();
    config.environment = "sit";
    config.downloadHosts = {"localhost"};

    mainThread.emplace(*QCoreApplication::instance());
    // The manifest names https://localhost/…; the package host stands in for port 443.
    services.emplace(
        config, system,
        app::TransportOptions{ca.caFile.string(),
                              {"localhost:443:127.0.0.1:" + std::to_string(packageHost.port())}},
        emulatedToolsDir().string());
    display.emplace(window);
    delegate.emplace(config, app::AppEnvironment{apps, system, files, *mainThread, *services},
                     *display);
    QObject::connect(&window, &ui::InstallerWindow::actionClicked, [this] { delegate->action(); });
    window.show();
}

WindowSandbox::~WindowSandbox() {
    delegate.reset();
    for (const auto& [name, value] : saved) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
}

std::string WindowSandbox::phase() const {
    static const char* const names[] = {"ready",      "checking", "downloading", "verifying",
                                        "installing", "complete", "failed",      "cancelled"};
    return names[window.card().phase.index()];
}

fs::path WindowSandbox::cacheFolder() const {
    return app::cacheFolder(home, config.environment, release.package.sha256);
}

std::vector<std::string> WindowSandbox::pressAndWait() {
    auto* button = window.cardView().findChild<QPushButton*>();
    if (!button)
        return {};
    button->click();
    std::vector<std::string> seen;
    QElapsedTimer clock;
    clock.start();
    while (delegate->running() && clock.elapsed() < 120'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const std::string name = phase();
        if (seen.empty() || seen.back() != name)
            seen.push_back(name);
    }
    return seen;
}

} // namespace installer::testing
