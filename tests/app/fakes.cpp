#include "app/fakes.h"

#include "support/temp_dir.h"
#include "transfer/transfer_error.h"
#include "trust/verify_file.h"

#include <algorithm>

namespace installer::testing {

using namespace std::chrono_literals;

void FakeMainThread::post(std::function<void()> task) {
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back({std::nullopt, std::move(task)});
    }
    posted_.notify_all();
}

void FakeMainThread::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    const std::lock_guard lock(mutex_);
    tasks_.push_back({clock_.now() + delay, std::move(task)});
}

bool FakeMainThread::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            const auto isDue = [&](const Task& t) { return !t.due || *t.due <= clock_.now(); };
            // Short waits: what the test waits for may happen on a worker without a post.
            if (!posted_.wait_for(lock, 2ms, [&] { return std::ranges::any_of(tasks_, isDue); })) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return done();
                continue;
            }
            const auto due = std::ranges::find_if(tasks_, isDue);
            task = std::move(due->run);
            tasks_.erase(due);
        }
        task();
    }
    return true;
}

bool FakeMainThread::waitUntilPosted() {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, 20s, [&] {
        return std::ranges::any_of(tasks_, [](const Task& t) { return !t.due; });
    });
}

void FakeDisplay::render(const ui::InstallerPhase& phase) {
    shown.push_back(phase);
    actionEnabled = true;
}

bool FakeDisplay::confirmUserApplications(std::stop_token stop) {
    ++questions;
    if (whileAsking)
        whileAsking();
    return acceptUserFolder && !stop.stop_requested();
}

void FakeDownload::start(const std::string& started, transfer::CompletionCallback completion) {
    bool cancelled = false;
    {
        const std::lock_guard lock(mutex_);
        url = started;
        completion_ = std::move(completion);
        cancelled = cancelled_;
    }
    if (cancelled)
        cancel();
}

void FakeDownload::cancel() {
    {
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    complete(
        std::make_exception_ptr(transfer::TransferError(transfer::cancelledCode, "下载已取消")));
}

bool FakeDownload::started() const {
    const std::lock_guard lock(mutex_);
    return static_cast<bool>(completion_);
}

void FakeDownload::finish(std::string_view content) {
    writeFile(destination_, content);
    complete(destination_);
}

void FakeDownload::complete(transfer::DownloadResult result) {
    transfer::CompletionCallback completion;
    {
        const std::lock_guard lock(mutex_);
        if (!completion_ || std::exchange(completed_, true))
            return;
        completion = completion_;
    }
    completion(std::move(result));
}

release::Manifest FakeServices::resolveRelease(const transfer::ServiceAddress&,
                                               std::stop_token stop) {
    pass("resolve", stop);
    if (resolveError)
        std::rethrow_exception(resolveError);
    return resolved;
}

release::Manifest FakeServices::recheckRelease(const transfer::ServiceAddress&,
                                               const release::Manifest&, std::stop_token stop) {
    pass("recheck", stop);
    if (recheckError)
        std::rethrow_exception(recheckError);
    return rechecked;
}

std::shared_ptr<app::PackageDownload>
FakeServices::makeDownload(std::filesystem::path destination, transfer::ProgressCallback progress) {
    auto download = std::make_shared<FakeDownload>(std::move(destination), std::move(progress));
    const std::lock_guard lock(mutex_);
    download_ = download;
    return download;
}

void FakeServices::verifyFile(const std::filesystem::path& file, const release::Package& package) {
    trust::verifyFile(file, package);
}

void FakeServices::install(const std::filesystem::path& package, const release::Manifest& manifest,
                           const std::filesystem::path& target,
                           const install::StatusCallback& status) {
    ++installs;
    installedPackage = package;
    installedTarget = target;
    installedReleaseId = manifest.releaseId;
    pass("install", {});
    for (const auto& text : statusTexts)
        status(text);
    if (installError)
        std::rethrow_exception(installError);
}

void FakeServices::hold(const std::string& step) {
    const std::lock_guard lock(mutex_);
    held_.insert(step);
}

void FakeServices::release(const std::string& step) {
    {
        const std::lock_guard lock(mutex_);
        held_.erase(step);
    }
    changed_.notify_all();
}

bool FakeServices::reached(const std::string& step) const {
    const std::lock_guard lock(mutex_);
    return reached_.contains(step);
}

std::shared_ptr<FakeDownload> FakeServices::download() const {
    const std::lock_guard lock(mutex_);
    return download_;
}

void FakeServices::pass(const std::string& step, const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    reached_.insert(step);
    changed_.wait(lock, stop, [&] { return !held_.contains(step); });
    // A request cut short by the stop fails as the real one would.
    if (stop.stop_requested())
        throw transfer::TransferError(transfer::cancelledCode, "请求已取消");
}

} // namespace installer::testing
