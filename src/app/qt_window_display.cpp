#include "app/qt_window_display.h"

#include <QMessageBox>
#include <QPushButton>

namespace installer::app {

void QtMainThread::post(std::function<void()> task) {
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

void WindowDisplay::disableAction() {
    ui::CardModel card = window_.card();
    card.actionEnabled = false;
    window_.render(card);
}

bool WindowDisplay::confirmUserApplications() {
    QMessageBox alert(&window_);
    alert.setText(QStringLiteral("系统应用目录不可写"));
    alert.setInformativeText(QStringLiteral("是否安装到当前用户的 Applications 目录？"));
    QPushButton* accept =
        alert.addButton(QStringLiteral("安装到用户目录"), QMessageBox::AcceptRole);
    alert.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    alert.setDefaultButton(accept);
    alert.exec();
    return alert.clickedButton() == accept;
}

} // namespace installer::app
