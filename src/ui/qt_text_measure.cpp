#include "ui/qt_text_measure.h"

#include <QFontMetricsF>
#include <QRectF>
#include <QTextLayout>
#include <QTextOption>

namespace installer::ui {

TextMeasure qtTextMeasure(const QFont& font) {
    return [metrics = QFontMetricsF(font)](std::string_view text, double width) {
        const QRectF box(0, 0, width, messageMeasureBoxHeight);
        const QString string = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        return metrics.boundingRect(box, Qt::TextWordWrap, string).height();
    };
}

QString clampedLines(const QString& text, const QFont& font, double width, int maxLines) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    int lastStart = 0;
    bool cut = false;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines == maxLines) {
            cut = true;
            break;
        }
        lastStart = line.textStart();
        ++lines;
    }
    layout.endLayout();
    if (!cut)
        return text;
    // The last shown line takes the rest of the message, shortened to fit with an
    // ellipsis, so the reader sees that more follows in the tooltip.
    const QFontMetricsF metrics(font);
    const QString rest = text.mid(lastStart).simplified();
    return text.left(lastStart) + metrics.elidedText(rest, Qt::ElideRight, width);
}

} // namespace installer::ui
