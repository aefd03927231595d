#pragma once

#include "app/installer_display.h"
#include "app/main_thread.h"
#include "ui/installer_window.h"

#include <QObject>

namespace installer::app {

// Queued onto the event loop of `context`'s thread; tasks still queued when the context
// is destroyed are dropped, which ends any wait for their answer.
class QtMainThread final : public MainThread {
public:
    explicit QtMainThread(QObject& context) : context_(context) {}
    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;

private:
    QObject& context_;
};

// The installer window as the delegate's display, with the folder question as a modal
// alert beside the card.
class WindowDisplay final : public InstallerDisplay {
public:
    explicit WindowDisplay(ui::InstallerWindow& window) : window_(window) {}

    void render(const ui::InstallerPhase& phase) override { window_.render(phase); }
    const ui::InstallerPhase& phase() const override { return window_.card().phase; }
    void disableAction() override;
    void closeWindow() override { window_.closeUnasked(); }
    bool confirmUserApplications(std::stop_token stop) override;

private:
    ui::InstallerWindow& window_;
};

} // namespace installer::app
