#include "app/qt_window_display.h"

#include "ui/card_style.h"
#include "ui/qt_card_style.h"
#include "ui/window_fit.h"

#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace installer::app {

namespace {

// The folder question opens beside the card it is about: a dialog centred on its parent
// would hide the card's heading.
class FolderQuestion final : public QMessageBox {
public:
    explicit FolderQuestion(QWidget& card) : QMessageBox(&card), card_(card) {}

protected:
    void showEvent(QShowEvent* event) override {
        // The message box settles its size here, just before the window system maps it.
        QMessageBox::showEvent(event);
        const QScreen* screen = card_.screen();
        const QRect area = screen ? screen->availableGeometry() : QRect();
        const ui::Frame beside =
            ui::placeBeside(ui::frameOf(card_.frameGeometry()), frameGeometry().width(),
                            frameGeometry().height(), ui::frameOf(area));
        move(ui::qtRect(beside).topLeft());
    }

private:
    QWidget& card_;
};

} // namespace

void QtMainThread::post(std::function<void()> task) {
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

void QtMainThread::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    QTimer::singleShot(delay, &context_, std::move(task));
}

void WindowDisplay::disableAction() {
    ui::CardModel card = window_.card();
    card.actionEnabled = false;
    window_.render(card);
}

bool WindowDisplay::confirmUserApplications(std::stop_token stop) {
    if (stop.stop_requested())
        return false;
    FolderQuestion alert(window_);
    // Without a title of its own the window system would show the program's file name.
    alert.setWindowTitle(ui::qtString(ui::text::installerName));
    alert.setText(QStringLiteral("系统应用目录不可写"));
    alert.setInformativeText(QStringLiteral("是否安装到当前用户的 Applications 目录？"));
    QPushButton* accept =
        alert.addButton(QStringLiteral("安装到用户目录"), QMessageBox::AcceptRole);
    QPushButton* cancel = alert.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    alert.setDefaultButton(accept);
    // Closing the question is declining it.
    alert.setEscapeButton(cancel);
    // The window's shortcuts (quit) stay usable while the question holds the focus.
    alert.addActions(window_.actions());
    // A quit or close of the window goes ahead without waiting for an answer; queued, as
    // a stop may be requested from inside an event the question's own loop is handling.
    const std::stop_callback declineOnStop(stop, [&alert] {
        QMetaObject::invokeMethod(
            &alert, [&alert] { alert.reject(); }, Qt::QueuedConnection);
    });
    alert.exec();
    return alert.clickedButton() == accept;
}

} // namespace installer::app
