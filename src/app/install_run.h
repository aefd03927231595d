#pragma once

#include "app/install_services.h"
#include "app/main_thread.h"
#include "platform/event_log.h"
#include "platform/file_manager.h"
#include "platform/system.h"
#include "release/settings.h"
#include "ui/installer_phase.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace installer::app {

// What a run may do to the delegate, always on the main thread.
class RunHost {
public:
    virtual std::uint64_t currentRunID() const = 0;
    virtual void render(const ui::InstallerPhase& phase) = 0;
    // Download progress; the host throttles it and shows it only while downloading.
    virtual void showProgress(std::int64_t written, std::int64_t total) = 0;
    // A status text of the install transaction; shown only while installing.
    virtual void showStatus(const std::string& text) = 0;
    virtual void beginInstalling() = 0;
    virtual bool confirmUserApplications() = 0;
    // Shows the run's last phase and forgets the run.
    virtual void endRun(const ui::InstallerPhase& last) = 0;

protected:
    ~RunHost() = default;
};

// A run's way to the main thread. Whatever it sends is dropped once the host is gone or
// has started another run, so late reports of an old run change nothing.
class RunChannel {
public:
    RunChannel(MainThread& mainThread, std::weak_ptr<RunHost*> host, std::uint64_t runID)
        : mainThread_(mainThread), host_(std::move(host)), runID_(runID) {}

    void post(std::function<void(RunHost&)> update) const;
    // Waits for the host's answer; none when `stop` comes first, false when the host
    // is gone or busy with another run.
    std::optional<bool> ask(std::function<bool(RunHost&)> question, std::stop_token stop) const;

private:
    RunHost* currentHost() const;

    MainThread& mainThread_;
    std::weak_ptr<RunHost*> host_;
    std::uint64_t runID_;
};

struct RunContext {
    release::Settings config;
    // Asked on the run's thread, so a machine without a home folder fails the run
    // rather than the button press.
    const platform::System& system;
    std::filesystem::path systemApplications;
    InstallServices& services;
    const platform::FileManager& files;
    RunChannel channel;
    const platform::EventLog& log = platform::noEventLog();
};

// "Library/Caches/com.tavelo.installer/<environment>/<digest>" in the home folder.
std::filesystem::path cacheFolder(const std::filesystem::path& home, const std::string& environment,
                                  const std::string& digest);

// One graphical run, on its own thread: resolve, reuse or download the package, check
// the release again, choose the target and install. Ends by sending the phase to show.
void runInstall(const RunContext& context, std::stop_token stop);

} // namespace installer::app
