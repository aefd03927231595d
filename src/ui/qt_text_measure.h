#pragma once

#include "ui/card_model.h"

#include <QFont>
#include <QString>

namespace installer::ui {

// Measures with the given font as the card draws its detail: wrapped at word
// boundaries inside a box of the given width and messageMeasureBoxHeight, leading
// included.
TextMeasure qtTextMeasure(const QFont& font);

// The text as a wrapping label shows it in at most maxLines lines of the given width:
// whole when it fits, otherwise cut with an ellipsis at the end of the last line.
QString clampedLines(const QString& text, const QFont& font, double width, int maxLines);

} // namespace installer::ui
