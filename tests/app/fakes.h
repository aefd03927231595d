#pragma once

#include "app/install_services.h"
#include "app/installer_display.h"
#include "app/main_thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

namespace installer::testing {

// The test's own thread plays the main thread: posted tasks wait until it pumps them.
class FakeMainThread final : public app::MainThread {
public:
    void post(std::function<void()> task) override;
    // Runs posted tasks until `done` holds; false if it does not within the limit.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
};

// Records every phase shown; answers the folder question as the test says.
class FakeDisplay final : public app::InstallerDisplay {
public:
    void render(const ui::InstallerPhase& phase) override;
    const ui::InstallerPhase& phase() const override { return phase_; }
    void disableAction() override { actionEnabled = false; }
    void closeWindow() override { closed = true; }
    bool confirmUserApplications() override;

    std::vector<ui::InstallerPhase> shown;
    bool actionEnabled = true;
    bool closed = false;
    bool acceptUserFolder = true;
    int questions = 0;
    // Called while the question is "on screen", for presses made meanwhile.
    std::function<void()> whileAsking;

private:
    ui::InstallerPhase phase_ = ui::Ready{};
};

// Holds a worker at one step until the test opens it or the run is stopped.
class Gate {
public:
    explicit Gate(bool open = true) : open_(open) {}
    void close();
    void open();
    // Open and not yet reached, as made.
    void reset();
    // True once the worker has reached the gate (used to know where a run is).
    bool reached() const;
    void wait(std::stop_token stop = {});

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    bool open_;
    bool reached_ = false;
};

// A transfer the test drives: it reports and finishes when told to.
class FakeDownload final : public app::PackageDownload {
public:
    FakeDownload(std::filesystem::path destination, transfer::ProgressCallback progress)
        : destination_(std::move(destination)), progress_(std::move(progress)) {}

    void start(const std::string& url, transfer::CompletionCallback completion) override;
    void cancel() override;

    bool started() const;
    std::string url() const;
    void report(std::int64_t written) { progress_(written, -1); }
    void finish(std::string_view content);
    void fail(std::exception_ptr error);

private:
    void complete(transfer::DownloadResult result);

    std::filesystem::path destination_;
    transfer::ProgressCallback progress_;
    mutable std::mutex mutex_;
    transfer::CompletionCallback completion_;
    std::string url_;
    bool cancelled_ = false;
    bool completed_ = false;
};

// Scripted answers for every step of a run; the package check is the real one.
class FakeServices final : public app::InstallServices {
public:
    transfer::ServiceAddress serviceAddress() override { return {"https://localhost", {}}; }
    release::Manifest resolveRelease(const transfer::ServiceAddress&,
                                     std::stop_token stop) override;
    release::Manifest recheckRelease(const transfer::ServiceAddress&, const release::Manifest&,
                                     std::stop_token stop) override;
    std::shared_ptr<app::PackageDownload>
    makeDownload(std::filesystem::path destination, transfer::ProgressCallback progress) override;
    void verifyFile(const std::filesystem::path& file, const release::Package& package) override;
    // No installed bundle here: the install step's own answers are scripted below.
    void checkInstalled(const release::Manifest&, const std::filesystem::path&) override {}
    void install(const std::filesystem::path& package, const release::Manifest& manifest,
                 const std::filesystem::path& target,
                 const install::StatusCallback& status) override;

    std::shared_ptr<FakeDownload> download() const;
    int installs() const;
    // Forgets the script and the record, for the next case of a table.
    void reset();

    release::Manifest resolved;
    release::Manifest rechecked;
    std::exception_ptr resolveError, recheckError, installError;
    Gate resolveGate, recheckGate, installGate;
    std::vector<std::string> statusTexts;

    // What the last install was given.
    std::filesystem::path installedPackage, installedTarget;
    std::string installedReleaseId;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<FakeDownload> download_;
    int installs_ = 0;
};

} // namespace installer::testing
