#include "ui/installer_progress_view.h"

#include "ui/card_model.h"
#include "ui/card_style.h"
#include "ui/progress_fill.h"
#include "ui/qt_card_style.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>

namespace installer::ui {

namespace {

// Screen readers announce the bar as a progress indicator whose value is the
// percentage, which a plain widget would not tell them.
class ProgressAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ProgressAccessible(InstallerProgressView* view)
        : QAccessibleWidget(view, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QVariant currentValue() const override {
        return progressAccessibilityValue(view()->fraction());
    }
    // The value follows the download only; nobody sets it from outside.
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.0; }

private:
    InstallerProgressView* view() const { return static_cast<InstallerProgressView*>(widget()); }
};

QAccessibleInterface* progressAccessible(const QString& className, QObject* object) {
    if (className != QLatin1String(InstallerProgressView::staticMetaObject.className()))
        return nullptr;
    auto* view = qobject_cast<InstallerProgressView*>(object);
    return view ? new ProgressAccessible(view) : nullptr;
}

void fillRounded(QPainter& painter, const QRectF& rect, Rgba colour) {
    QPainterPath path;
    path.addRoundedRect(rect, style::progressCornerRadius, style::progressCornerRadius);
    painter.fillPath(path, qtColour(colour));
}

} // namespace

InstallerProgressView::InstallerProgressView(QWidget* parent) : QWidget(parent) {
    // Qt keeps its accessibility factories for the whole process; registering ours
    // once is enough for every bar.
    [[maybe_unused]] static const bool registered = [] {
        QAccessible::installFactory(progressAccessible);
        return true;
    }();
    setAccessibleName(qtString(text::progressAccessibilityLabel));
}

void InstallerProgressView::setFraction(double fraction) {
    fraction_ = fraction;
    update();
    QAccessibleValueChangeEvent event(this, progressAccessibilityValue(fraction));
    QAccessible::updateAccessibility(&event);
}

void InstallerProgressView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    fillRounded(painter, QRectF(rect()), style::progressTrack);
    const auto fill = progressFill(width(), height(), fraction_);
    if (!fill)
        return;
    // The fill spans the bar's whole height, so its bottom-left origin is also its
    // top-left one.
    fillRounded(painter, QRectF(fill->x, fill->y, fill->width, fill->height), style::progressFill);
}

} // namespace installer::ui
