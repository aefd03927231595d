#include "ui/qt_card_style.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace installer::ui {

namespace {

// macOS draws type at 72 points per inch, so there a point and a layout unit agree.
constexpr double pointsPerInch = 72;

double logicalDpi() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInchY() : pointsPerInch;
}

QFont::Weight qtWeight(FontWeight weight) {
    switch (weight) {
    case FontWeight::medium:
        return QFont::Medium;
    case FontWeight::semibold:
        return QFont::DemiBold;
    case FontWeight::regular:
        break;
    }
    return QFont::Normal;
}

} // namespace

QColor qtColour(Rgba colour) {
    return QColor::fromRgbF(static_cast<float>(colour.red), static_cast<float>(colour.green),
                            static_cast<float>(colour.blue), static_cast<float>(colour.alpha));
}

QFont qtFont(FontStyle look) {
    QFont font = QGuiApplication::font();
    font.setPointSizeF(look.pointSize * pointsPerInch / logicalDpi());
    font.setWeight(qtWeight(look.weight));
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    if (look.monospacedDigits)
        font.setFeature(QFont::Tag("tnum"), 1);
#endif
    return font;
}

QRect qtRect(Frame frame) {
    return QRect(static_cast<int>(std::lround(frame.x)), static_cast<int>(std::lround(frame.y)),
                 static_cast<int>(std::lround(frame.width)),
                 static_cast<int>(std::lround(frame.height)));
}

} // namespace installer::ui
