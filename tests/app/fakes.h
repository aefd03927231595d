#pragma once

#include "app/install_services.h"
#include "app/installer_display.h"
#include "app/main_thread.h"
#include "platform/system.h"
#include "support/temp_dir.h"
#include "transfer/transfer_error.h"
#include "trust/verify_file.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace installer::testing {

using namespace std::chrono_literals;

// The test's own thread plays the main thread: posted tasks wait until it pumps them,
// delayed ones also until the test's clock has reached their time.
class FakeMainThread final : public app::MainThread {
public:
    explicit FakeMainThread(const platform::System& clock) : clock_(clock) {}

    void post(std::function<void()> task) override {
        const std::lock_guard lock(mutex_);
        tasks_.push_back({std::nullopt, std::move(task)});
        posted_.notify_all();
    }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        const std::lock_guard lock(mutex_);
        tasks_.push_back({clock_.now() + delay, std::move(task)});
    }
    // Runs due tasks until `done` holds; false if it does not within the (real) limit.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        const auto isDue = [&](const Task& t) { return !t.due || *t.due <= clock_.now(); };
        while (!done()) {
            std::unique_lock lock(mutex_);
            // Short waits: what the test waits for may happen on a worker without a post.
            if (!posted_.wait_for(lock, 2ms, [&] { return std::ranges::any_of(tasks_, isDue); })) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return done();
                continue;
            }
            const auto due = std::ranges::find_if(tasks_, isDue);
            auto task = std::move(due->run);
            tasks_.erase(due);
            lock.unlock();
            task();
        }
        return true;
    }
    // Waits, running nothing, until a worker has posted a task.
    bool waitUntilPosted() {
        std::unique_lock lock(mutex_);
        return posted_.wait_for(lock, 20s, [&] { return !tasks_.empty(); });
    }

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
    void render(const ui::InstallerPhase& phase) override {
        shown.push_back(phase);
        actionEnabled = true;
    }
    const ui::InstallerPhase& phase() const override { return shown.back(); }
    void disableAction() override { actionEnabled = false; }
    void closeWindow() override { closed = true; }
    bool confirmUserApplications(std::stop_token stop) override {
        ++questions;
        if (whileAsking)
            whileAsking();
        return acceptUserFolder && !stop.stop_requested();
    }

    std::vector<ui::InstallerPhase> shown{ui::Ready{}};
    bool actionEnabled = true;
    bool closed = false;
    bool acceptUserFolder = true;
    int questions = 0;
    // Called while the question is "on screen", for requests made meanwhile.
    std::function<void()> whileAsking;
};

// A transfer the test drives: it reports and ends when told to, and a cancel ends it as
// the real one does.
class FakeDownload final : public app::PackageDownload {
public:
    FakeDownload(std::filesystem::path destination, transfer::ProgressCallback progress)
        : destination_(std::move(destination)), progress_(std::move(progress)) {}

    void start(const std::string& from, transfer::CompletionCallback completion) override {
        const std::lock_guard lock(mutex_);
        url = from;
        completion_ = std::move(completion);
        if (cancelled_)
            endLocked(transferCancelled());
    }
    void cancel() override {
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
        endLocked(transferCancelled());
    }
    bool started() const {
        const std::lock_guard lock(mutex_);
        return static_cast<bool>(completion_);
    }
    void report(std::int64_t written) { progress_(written, -1); }
    void finish(std::string_view content) {
        writeFile(destination_, content);
        end(destination_);
    }
    void end(transfer::DownloadResult result) {
        const std::lock_guard lock(mutex_);
        endLocked(std::move(result));
    }

    std::string url; // set when started

private:
    static std::exception_ptr transferCancelled() {
        return std::make_exception_ptr(transfer::TransferError(transfer::cancelledCode, "已取消"));
    }
    void endLocked(transfer::DownloadResult result) {
        if (completion_ && !std::exchange(ended_, true))
            completion_(std::move(result));
    }

    std::filesystem::path destination_;
    transfer::ProgressCallback progress_;
    mutable std::mutex mutex_;
    transfer::CompletionCallback completion_;
    bool cancelled_ = false;
    bool ended_ = false;
};

// Scripted answers for every step of a run; the package check is the real one. A step
// the test holds ("resolve", "recheck", "install") waits there until the test releases
// it or, but for the install, the run is stopped.
class FakeServices final : public app::InstallServices {
public:
    transfer::ServiceAddress serviceAddress() override { return {"https://localhost", {}}; }
    release::Manifest resolveRelease(const transfer::ServiceAddress&,
                                     std::stop_token stop) override {
        pass("resolve", stop);
        return resolved;
    }
    release::Manifest recheckRelease(const transfer::ServiceAddress&, const release::Manifest&,
                                     std::stop_token stop) override {
        pass("recheck", stop);
        return rechecked;
    }
    std::shared_ptr<app::PackageDownload>
    makeDownload(std::filesystem::path destination, transfer::ProgressCallback progress) override {
        const std::lock_guard lock(mutex_);
        return download_ = std::make_shared<FakeDownload>(destination, progress);
    }
    void verifyFile(const std::filesystem::path& file, const release::Package& package) override {
        trust::verifyFile(file, package);
    }
    // No installed bundle here: the install step's own answers are scripted below.
    void checkInstalled(const release::Manifest&, const std::filesystem::path&) override {}
    void install(const std::filesystem::path& package, const release::Manifest& manifest,
                 const std::filesystem::path& target,
                 const install::StatusCallback& status) override {
        ++installs;
        installedPackage = package;
        installedTarget = target;
        installedReleaseId = manifest.releaseId;
        pass("install", {});
        for (const auto& text : statusTexts)
            status(text);
    }

    void hold(const std::string& step) {
        const std::lock_guard lock(mutex_);
        held_.insert(step);
    }
    void release(const std::string& step) {
        const std::lock_guard lock(mutex_);
        held_.erase(step);
        changed_.notify_all();
    }
    bool reached(const std::string& step) const {
        const std::lock_guard lock(mutex_);
        return reached_.contains(step);
    }
    std::shared_ptr<FakeDownload> download() const {
        const std::lock_guard lock(mutex_);
        return download_;
    }

    release::Manifest resolved;
    release::Manifest rechecked;
    // A step named here fails with the error.
    std::map<std::string, std::exception_ptr> errors;
    std::vector<std::string> statusTexts;
    // What the installs were given; read once the run has ended.
    int installs = 0;
    std::filesystem::path installedPackage, installedTarget;
    std::string installedReleaseId;

private:
    void pass(const std::string& step, const std::stop_token& stop) {
        std::unique_lock lock(mutex_);
        reached_.insert(step);
        changed_.wait(lock, stop, [&] { return !held_.contains(step); });
        // A request cut short by the stop fails as the real one would.
        if (stop.stop_requested())
            throw transfer::TransferError(transfer::cancelledCode, "请求已取消");
        if (errors.contains(step))
            std::rethrow_exception(errors.at(step));
    }

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::set<std::string> held_, reached_;
    std::shared_ptr<FakeDownload> download_;
};

} // namespace installer::testing
