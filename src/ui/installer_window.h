#pragma once

#include "ui/card_model.h"
#include "ui/installer_phase.h"

#include <QWidget>

class QScreen;
#include <functional>
#include <optional>

namespace installer::ui {

class InstallerCardView;

// The installer's only window: borderless, transparent around the card, floating
// above other windows and dragged by its background. Its content is the card, and
// its size always follows the card's height with the top edge kept in place.
class InstallerWindow : public QWidget {
    Q_OBJECT

public:
    explicit InstallerWindow(QWidget* parent = nullptr);

    // Shows the card and fits the window to its height, growing or shrinking
    // downwards. A card that already fits leaves the window where it is.
    void render(const CardModel& card);
    // The same for a phase, shown on the current card.
    void render(const InstallerPhase& phase);

    const CardModel& card() const;
    InstallerCardView& cardView() { return *card_; }

    // Puts the window in the top-right corner of the main screen's available area;
    // without a main screen, centres it on the screen it is on.
    void placeAtLaunch(const QScreen* mainScreen);

    // Asked before a close the window system requests (a keyboard shortcut, the
    // window manager); answering false keeps the window open. Without a guard the
    // window closes.
    void setCloseGuard(std::function<bool()> mayClose);
    // Closes without asking the guard, for a close the program itself decided.
    void closeUnasked();

signals:
    void actionClicked();
    void closeClicked();
    // The window has closed, whichever way.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    InstallerCardView* card_;
    std::function<bool()> mayClose_;
    bool closingUnasked_ = false;
    // Where a drag the window system could not take over grabbed the window.
    std::optional<QPoint> dragOffset_;
};

} // namespace installer::ui
