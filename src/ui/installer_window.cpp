#include "ui/installer_window.h"

#include "ui/card_style.h"
#include "ui/installer_card_view.h"
#include "ui/qt_card_style.h"
#include "ui/window_fit.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>
#include <utility>

namespace installer::ui {

namespace {

constexpr int screenMargin = 40;

// The card is designed for a light background; a dark system theme must not turn the
// button and tooltips dark on it.
QPalette lightPalette() {
    QPalette palette(QColor(236, 236, 236), QColor(246, 246, 246));
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::ToolTipBase, QColor(255, 255, 240));
    palette.setColor(QPalette::ToolTipText, Qt::black);
    return palette;
}

} // namespace

InstallerWindow::InstallerWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      card_(new InstallerCardView(this)) {
    setWindowTitle(qtString(text::iconAccessibilityLabel));
    // Only the card's rounded layer is to be seen; the platform adds the shadow of a
    // frameless window itself wherever it can.
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setPalette(lightPalette());
    resize(static_cast<int>(style::cardWidth), static_cast<int>(style::cardHeight));
    card_->setGeometry(rect());
    connect(card_, &InstallerCardView::actionClicked, this, &InstallerWindow::actionClicked);
    connect(card_, &InstallerCardView::closeClicked, this, &InstallerWindow::closeClicked);
}

void InstallerWindow::render(const CardModel& card) {
    card_->apply(card);
    // Qt's screen y grows downwards; negating it gives the fit the upward y it
    // expects, so its kept top edge is the top the user sees.
    const QRect now = geometry();
    const Frame upward{static_cast<double>(now.x()), -static_cast<double>(now.bottom() + 1),
                       static_cast<double>(now.width()), static_cast<double>(now.height())};
    const auto fitted = fittedWindowFrame(upward, card.contentHeight);
    if (!fitted)
        return;
    const QRect next =
        qtRect({fitted->x, -(fitted->y + fitted->height), fitted->width, fitted->height});
    setGeometry(next);
    card_->setGeometry(rect());
}

void InstallerWindow::render(const InstallerPhase& phase) {
    render(ui::show(card_->card(), phase, style::cardWidth, card_->measure()));
}

const CardModel& InstallerWindow::card() const {
    return card_->card();
}

void InstallerWindow::placeAtLaunch(const QScreen* mainScreen) {
    if (mainScreen) {
        const QRect area = mainScreen->availableGeometry();
        move(area.x() + area.width() - width() - screenMargin, area.y() + screenMargin);
        return;
    }
    if (const QScreen* own = screen()) {
        QRect centred = rect();
        centred.moveCenter(own->availableGeometry().center());
        move(centred.topLeft());
    }
}

void InstallerWindow::setCloseGuard(std::function<bool()> mayClose) {
    mayClose_ = std::move(mayClose);
}

void InstallerWindow::closeUnasked() {
    closingUnasked_ = true;
    close();
    closingUnasked_ = false;
}

void InstallerWindow::closeEvent(QCloseEvent* event) {
    if (!closingUnasked_ && mayClose_ && !mayClose_()) {
        event->ignore();
        return;
    }
    event->accept();
    emit closed();
}

void InstallerWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    // The window system's own move follows the pointer smoothly and across screens;
    // where it is unavailable the window follows the pointer by hand.
    if (windowHandle() && windowHandle()->startSystemMove())
        return;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void InstallerWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!dragOffset_)
        return QWidget::mouseMoveEvent(event);
    move(event->globalPosition().toPoint() - *dragOffset_);
}

void InstallerWindow::mouseReleaseEvent(QMouseEvent* event) {
    dragOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

} // namespace installer::ui
