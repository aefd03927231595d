#pragma once

#include "app/install_run.h"
#include "app/install_services.h"
#include "app/installer_display.h"
#include "app/main_thread.h"
#include "platform/file_manager.h"
#include "platform/system.h"
#include "release/settings.h"
#include "ui/installer_phase.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

namespace installer::app {

// What the delegate works with, all owned elsewhere and outliving it.
struct AppEnvironment {
    std::filesystem::path systemApplications;
    const platform::System& system;
    const platform::FileManager& files;
    MainThread& mainThread;
    InstallServices& services;
    const platform::EventLog& log = platform::noEventLog();
};

// Decides what the card's buttons, closing the window and quitting do, and owns the
// one run in progress. Lives on the main thread; only its runs' threads are elsewhere,
// and they reach it through the main thread alone.
class AppDelegate final : private RunHost {
public:
    AppDelegate(release::Settings config, AppEnvironment environment, InstallerDisplay& display);
    // Stops a run still going and waits for its thread (which a run installing only
    // lets go after the transaction: the installed application is never left half done).
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The card's action and close buttons.
    void action();
    void close();
    // Starts a run unless one is in progress.
    void start();
    // Stops the current run; the action button stays disabled until the next phase.
    void stop();
    // Asked before the application quits or the window closes; refused while
    // installing, otherwise the run is cancelled and the answer is yes.
    bool shouldTerminate();
    bool windowShouldClose();

    bool running() const { return work_.joinable(); }

private:
    void cancelRun();
    // Whether the current run has been told to stop; it is winding down.
    bool stopping() const { return work_.get_stop_token().stop_requested(); }
    // Shows the download progress a throttled report held back, at the end of its
    // interval: a transfer that stalls after a burst still shows what it received.
    void flushProgress();

    std::uint64_t currentRunID() const override { return runID_; }
    void render(const ui::InstallerPhase& phase) override;
    void showProgress(std::int64_t written, std::int64_t total) override;
    void showStatus(const std::string& text) override;
    void beginInstalling() override;
    bool confirmUserApplications() override;
    void endRun(const ui::InstallerPhase& last) override;

    const release::Settings config_;
    const AppEnvironment environment_;
    InstallerDisplay& display_;
    std::jthread work_;
    std::uint64_t runID_ = 0;
    bool installing_ = false;
    // Never reset between runs; absent until the first progress is shown.
    std::optional<platform::Clock::time_point> lastProgressUpdate_;
    // The latest report the throttle held back, and whether its showing is queued.
    std::optional<ui::Downloading> heldProgress_;
    bool progressFlushQueued_ = false;
    // Set once the installing card tells that the start is being confirmed; later status
    // texts of the transaction must not step it back to installing.
    bool confirmingStart_ = false;
    // What the runs' posted updates hold instead of the delegate: gone with it.
    std::shared_ptr<RunHost*> self_;
};

} // namespace installer::app
