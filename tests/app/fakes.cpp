#include "app/fakes.h"

#include "support/temp_dir.h"
#include "transfer/transfer_error.h"
#include "trust/verify_file.h"

namespace installer::testing {

using namespace std::chrono_literals;

void FakeMainThread::post(std::function<void()> task) {
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
}

bool FakeMainThread::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            // Short waits: what the test waits for may happen on a worker without a post.
            const auto until = std::min(deadline, std::chrono::steady_clock::now() + 2ms);
            if (!posted_.wait_until(lock, until, [&] { return !tasks_.empty(); })) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return done();
                continue;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
    return true;
}

void FakeDisplay::render(const ui::InstallerPhase& phase) {
    shown.push_back(phase);
    phase_ = phase;
    actionEnabled = true;
}

bool FakeDisplay::confirmUserApplications() {
    ++questions;
    if (whileAsking)
        whileAsking();
    return acceptUserFolder;
}

void Gate::close() {
    const std::lock_guard lock(mutex_);
    open_ = false;
}

void Gate::open() {
    {
        const std::lock_guard lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

void Gate::reset() {
    const std::lock_guard lock(mutex_);
    open_ = true;
    reached_ = false;
}

bool Gate::reached() const {
    const std::lock_guard lock(mutex_);
    return reached_;
}

void Gate::wait(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    reached_ = true;
    changed_.wait(lock, stop, [&] { return open_; });
}

void FakeDownload::start(const std::string& url, transfer::CompletionCallback completion) {
    bool cancelled = false;
    {
        const std::lock_guard lock(mutex_);
        url_ = url;
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

std::string FakeDownload::url() const {
    const std::lock_guard lock(mutex_);
    return url_;
}

void FakeDownload::finish(std::string_view content) {
    writeFile(destination_, content);
    complete(destination_);
}

void FakeDownload::fail(std::exception_ptr error) {
    complete(std::move(error));
}

void FakeDownload::complete(transfer::DownloadResult result) {
    transfer::CompletionCallback completion;
    {
        const std::lock_guard lock(mutex_);
        if (!completion_ || completed_)
            return;
        completed_ = true;
        completion = completion_;
    }
    completion(std::move(result));
}

namespace {

// One scripted service answer: held at its gate, then the error or the manifest.
release::Manifest answer(Gate& gate, const std::exception_ptr& error,
                         const release::Manifest& manifest, const std::stop_token& stop) {
    gate.wait(stop);
    if (stop.stop_requested())
        throw transfer::TransferError(transfer::cancelledCode, "请求已取消");
    if (error)
        std::rethrow_exception(error);
    return manifest;
}

} // namespace

release::Manifest FakeServices::resolveRelease(const transfer::ServiceAddress&,
                                               std::stop_token stop) {
    return answer(resolveGate, resolveError, resolved, stop);
}

release::Manifest FakeServices::recheckRelease(const transfer::ServiceAddress&,
                                               const release::Manifest&, std::stop_token stop) {
    return answer(recheckGate, recheckError, rechecked, stop);
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
    {
        const std::lock_guard lock(mutex_);
        ++installs_;
        installedPackage = package;
        installedTarget = target;
        installedReleaseId = manifest.releaseId;
    }
    installGate.wait();
    for (const auto& text : statusTexts)
        status(text);
    if (installError)
        std::rethrow_exception(installError);
}

std::shared_ptr<FakeDownload> FakeServices::download() const {
    const std::lock_guard lock(mutex_);
    return download_;
}

void FakeServices::reset() {
    const std::lock_guard lock(mutex_);
    resolved = rechecked = {};
    resolveError = recheckError = installError = nullptr;
    resolveGate.reset();
    recheckGate.reset();
    installGate.reset();
    statusTexts.clear();
    installedPackage.clear();
    installedTarget.clear();
    installedReleaseId.clear();
    download_.reset();
    installs_ = 0;
}

int FakeServices::installs() const {
    const std::lock_guard lock(mutex_);
    return installs_;
}

} // namespace installer::testing
