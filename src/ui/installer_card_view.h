#pragma once

#include "ui/card_model.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace installer::ui {

class InstallerProgressView;
class XmarkButton;

// The card the installer consists of: heading, icon, status, bar, detail and two
// buttons on a rounded, bordered background. It shows whatever card model it is given
// and knows nothing of what the buttons do.
class InstallerCardView : public QWidget {
    Q_OBJECT

public:
    explicit InstallerCardView(QWidget* parent = nullptr);
    ~InstallerCardView() override;

    // Shows every value of the card and lays it out for the view's current size.
    void apply(const CardModel& card);
    const CardModel& card() const { return card_; }

    // Measures a failure message as the detail label will draw it.
    TextMeasure measure() const;

signals:
    void actionClicked();
    void closeClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeSubviews();

    CardModel card_;
    // Owned by the view through Qt's parent-child ownership.
    QLabel* heading_;
    QLabel* icon_;
    QLabel* status_;
    InstallerProgressView* progress_;
    QLabel* detail_;
    QPushButton* action_;
    XmarkButton* close_;
};

} // namespace installer::ui
