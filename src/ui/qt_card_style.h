#pragma once

#include "ui/card_style.h"
#include "ui/frame.h"

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>
#include <string_view>

namespace installer::ui {

QColor qtColour(Rgba colour);

// The card is laid out in points, which Qt calls device-independent pixels. Qt sizes
// fonts in typographic points at the screen's logical resolution instead, so the size
// is converted to keep a 12-point heading exactly 12 layout units high on every system.
QFont qtFont(FontStyle look);

// Widget geometry is whole units; the card's frames are whole points in every phase.
QRect qtRect(Frame frame);

inline Frame frameOf(const QRect& rect) {
    return {static_cast<double>(rect.x()), static_cast<double>(rect.y()),
            static_cast<double>(rect.width()), static_cast<double>(rect.height())};
}

inline QString qtString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace installer::ui
