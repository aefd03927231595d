#pragma once

#include <QWidget>

namespace installer::ui {

// The thin, flat bar of the card, drawn by hand so it looks the same on every system
// instead of following the platform's progress style.
class InstallerProgressView : public QWidget {
    Q_OBJECT

public:
    explicit InstallerProgressView(QWidget* parent = nullptr);

    double fraction() const { return fraction_; }
    // Not clamped: the card model clamps before it hands a value over.
    void setFraction(double fraction);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double fraction_ = 0;
};

} // namespace installer::ui
