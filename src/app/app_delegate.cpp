#include "app/app_delegate.h"

#include "ui/card_model.h"

#include <chrono>
#include <type_traits>
#include <utility>

namespace installer::app {

namespace {

constexpr auto progressInterval = std::chrono::milliseconds(100);

template <class Phase> bool shows(const ui::InstallerPhase& phase) {
    return std::holds_alternative<Phase>(phase);
}

} // namespace

AppDelegate::AppDelegate(release::Settings config, AppEnvironment environment,
                         InstallerDisplay& display)
    : config_(std::move(config)), environment_(std::move(environment)), display_(display),
      self_(std::make_shared<RunHost*>(static_cast<RunHost*>(this))) {}

AppDelegate::~AppDelegate() {
    // Posted updates find nothing from here on; the thread winds down at its next check.
    self_.reset();
    cancelRun();
}

void AppDelegate::action() {
    const ui::InstallerPhase& phase = display_.phase();
    if (shows<ui::Ready>(phase) || shows<ui::Failed>(phase) || shows<ui::Cancelled>(phase))
        start();
    else if (shows<ui::Checking>(phase) || shows<ui::Downloading>(phase) ||
             shows<ui::Verifying>(phase))
        stop();
    else if (shows<ui::Complete>(phase))
        close();
}

void AppDelegate::close() {
    if (installing_)
        return;
    cancelRun();
    display_.closeWindow();
}

void AppDelegate::start() {
    if (running())
        return;
    ++runID_;
    display_.render(ui::Checking{});
    RunContext context{config_,
                       environment_.system,
                       environment_.systemApplications,
                       environment_.services,
                       environment_.files,
                       RunChannel(environment_.mainThread, self_, runID_),
                       environment_.log};
    work_ = std::jthread([context = std::move(context)](std::stop_token stop) {
        runInstall(context, std::move(stop));
    });
}

void AppDelegate::stop() {
    cancelRun();
    display_.disableAction();
}

bool AppDelegate::shouldTerminate() {
    if (installing_)
        return false;
    cancelRun();
    return true;
}

bool AppDelegate::windowShouldClose() {
    return shouldTerminate();
}

void AppDelegate::cancelRun() {
    // The run cancels its own transfer when its stop is requested.
    work_.request_stop();
}

// What a run sends while it is being stopped is no longer news: the card keeps the
// stopped state (and its disabled button) until the run's last phase.
void AppDelegate::render(const ui::InstallerPhase& phase) {
    if (!stopping())
        display_.render(phase);
}

void AppDelegate::showProgress(std::int64_t written, std::int64_t total) {
    if (stopping() || !shows<ui::Downloading>(display_.phase()))
        return;
    const auto now = environment_.system.now();
    const bool tooSoon = lastProgressUpdate_ && (now < *lastProgressUpdate_ ||
                                                 now - *lastProgressUpdate_ < progressInterval);
    // The report that completes the package is always shown, so the bar ends full.
    if (total <= written || !tooSoon) {
        heldProgress_.reset();
        lastProgressUpdate_ = now;
        display_.render(ui::Downloading{written, total});
        return;
    }
    heldProgress_ = ui::Downloading{written, total};
    if (progressFlushQueued_)
        return;
    progressFlushQueued_ = true;
    // A clock set back leaves the interval's end in the far future; waiting one whole
    // interval at most still shows the held report.
    const auto elapsed =
        now < *lastProgressUpdate_ ? platform::Clock::duration::zero() : now - *lastProgressUpdate_;
    environment_.mainThread.postAfter(
        std::chrono::ceil<std::chrono::milliseconds>(progressInterval - elapsed),
        [self = std::weak_ptr<RunHost*>(self_)] {
            if (const auto host = self.lock())
                static_cast<AppDelegate*>(*host)->flushProgress();
        });
}

void AppDelegate::flushProgress() {
    progressFlushQueued_ = false;
    if (!heldProgress_ || stopping() || !shows<ui::Downloading>(display_.phase()))
        return;
    lastProgressUpdate_ = environment_.system.now();
    display_.render(*std::exchange(heldProgress_, std::nullopt));
}

void AppDelegate::showStatus(const std::string& text) {
    if (!installing_ || confirmingStart_)
        return;
    confirmingStart_ = ui::confirmsStart(text);
    render(ui::Installing{text});
}

void AppDelegate::beginInstalling() {
    installing_ = true;
    confirmingStart_ = false;
    render(ui::Installing{"正在安装…"});
}

bool AppDelegate::confirmUserApplications() {
    return display_.confirmUserApplications(work_.get_stop_token());
}

void AppDelegate::endRun(const ui::InstallerPhase& last) {
    display_.render(last);
    heldProgress_.reset();
    installing_ = false;
    // The run posted this as its last act, so joining its thread takes no time.
    work_ = std::jthread();
}

} // namespace installer::app
