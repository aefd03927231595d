#pragma once

#include "app/install_services.h"
#include "app/installer_display.h"
#include "app/main_thread.h"
#include "platform/system.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>

namespace installer::testing {

// The test's own thread plays the main thread: posted tasks wait until it pumps them,
// delayed ones also until the test's clock has reached their time.
class FakeMainThread final : public app::MainThread {
public:
    explicit FakeMainThread(const platform::System& clock) : clock_(clock) {}
    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    // Runs due tasks until `done` holds; false if it does not within the (real) limit.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Waits, running nothing, until a worker has posted a task.
    bool waitUntilPosted();

private:
    struct Task {
        std::optional<platform::Clock::time_point> due;
        std::function<void()> run;
    };
    const platform::System& clock_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> tasks_;
};

// Records every phase shown; answers the folder question as the test says, and as the
// window does, declines it when the run is stopped meanwhile.
class FakeDisplay final : public app::InstallerDisplay {
public:
    void render(const ui::InstallerPhase& phase) override;
    const ui::InstallerPhase& phase() const override { return shown.back(); }
    void disableAction() override { actionEnabled = false; }
    void closeWindow() override { closed = true; }
    bool confirmUserApplications(std::stop_token stop) override;

    std::vector<ui::InstallerPhase> shown{ui::Ready{}};
    bool actionEnabled = true;
    bool closed = false;
    bool acceptUserFolder = true;
    int questions = 0;
    // Called while the question is "on screen", for requests made meanwhile.
    std::function<void()> whileAsking;
};

// A transfer the test drives: it reports and finishes when told to, and a cancel ends it
// as the real one does.
class FakeDownload final : public app::PackageDownload {
public:
    FakeDownload(std::filesystem::path destination, transfer::ProgressCallback progress)
        : destination_(std::move(destination)), progress_(std::move(progress)) {}

    void start(const std::string& url, transfer::CompletionCallback completion) override;
    void cancel() override;

    bool started() const;
    void report(std::int64_t written) { progress_(written, -1); }
    void finish(std::string_view content);
    void fail(std::exception_ptr error) { complete(std::move(error)); }

    // Set when started.
    std::string url;

private:
    void complete(transfer::DownloadResult result);

    std::filesystem::path destination_;
    transfer::ProgressCallback progress_;
    mutable std::mutex mutex_;
    transfer::CompletionCallback completion_;
    bool cancelled_ = false;
    bool completed_ = false;
};

// Scripted answers for every step of a run; the package check is the real one. A step
// the test holds ("resolve", "recheck", "install") waits there until the test releases
// it or, but for the install, the run is stopped.
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
    void install(const std::filesystem::path& package, const release::Manifest& manifest,
                 const std::filesystem::path& target,
                 const install::StatusCallback& status) override;

    void hold(const std::string& step);
    void release(const std::string& step);
    bool reached(const std::string& step) const;
    std::shared_ptr<FakeDownload> download() const;

    release::Manifest resolved;
    release::Manifest rechecked;
    std::exception_ptr resolveError, recheckError, installError;
    std::vector<std::string> statusTexts;
    // What the installs were given; read once the run has ended.
    int installs = 0;
    std::filesystem::path installedPackage, installedTarget;
    std::string installedReleaseId;

private:
    void pass(const std::string& step, const std::stop_token& stop);

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::set<std::string> held_, reached_;
    std::shared_ptr<FakeDownload> download_;
};

} // namespace installer::testing
