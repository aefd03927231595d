#include "ui/installer_card_view.h"

#include "ui/card_style.h"
#include "ui/installer_progress_view.h"
#include "ui/qt_card_style.h"
#include "ui/qt_text_measure.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace installer::ui {

// A borderless button showing only a thin cross, like the system's "xmark" symbol,
// in the card's close tint; dimmed while the card forbids closing.
class XmarkButton : public QAbstractButton {
public:
    explicit XmarkButton(QWidget* parent) : QAbstractButton(parent) {
        setCursor(Qt::ArrowCursor);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor tint = qtColour(style::closeTint);
        if (!isEnabled())
            tint.setAlphaF(tint.alphaF() * 0.4f);
        else if (isDown())
            tint = tint.darker(140);
        QPen pen(tint, 1.6, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        // The symbol's strokes keep clear of the edges the way SF Symbols does.
        const QRectF box = QRectF(rect()).adjusted(4.5, 4.5, -4.5, -4.5);
        painter.drawLine(box.topLeft(), box.bottomRight());
        painter.drawLine(box.topRight(), box.bottomLeft());
    }
};

namespace {

QLabel* label(QWidget* parent, const char* name, FontStyle font, Rgba colour) {
    auto* created = new QLabel(parent);
    created->setObjectName(QLatin1String(name));
    created->setFont(qtFont(font));
    QPalette palette = created->palette();
    palette.setColor(QPalette::WindowText, qtColour(colour));
    created->setPalette(palette);
    created->setTextFormat(Qt::PlainText);
    return created;
}

// A bundled picture takes precedence so the installer shows the product, not itself.
QPixmap appIcon(QSize size) {
    const QString bundled = QStringLiteral(":/app-icon.png");
    const QIcon icon = QFile::exists(bundled) ? QIcon(bundled) : QApplication::windowIcon();
    return icon.pixmap(size);
}

QString elidedStatus(const QLabel& status, const QString& text) {
    return status.fontMetrics().elidedText(text, Qt::ElideRight, status.width());
}

} // namespace

InstallerCardView::InstallerCardView(QWidget* parent)
    : QWidget(parent), card_(createCard(style::cardWidth)),
      heading_(label(this, "heading", style::headingFont, style::headingColour)),
      icon_(new QLabel(this)),
      status_(label(this, "status", style::statusFont, style::statusColour)),
      progress_(new InstallerProgressView(this)),
      detail_(label(this, "detail", style::detailFont, style::detailColour)),
      action_(new QPushButton(this)), close_(new XmarkButton(this)) {
    heading_->setText(qtString(text::heading));

    icon_->setObjectName(QStringLiteral("icon"));
    icon_->setAlignment(Qt::AlignCenter);
    icon_->setAccessibleName(qtString(text::iconAccessibilityLabel));

    progress_->setObjectName(QStringLiteral("progress"));

    detail_->setWordWrap(true);
    detail_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    action_->setObjectName(QStringLiteral("action"));
    action_->setFont(qtFont(style::actionFont));
    connect(action_, &QPushButton::clicked, this, &InstallerCardView::actionClicked);

    close_->setObjectName(QStringLiteral("close"));
    close_->setAccessibleName(qtString(text::closeInstaller));
    close_->setAccessibleDescription(qtString(text::closeInstaller));
    close_->setToolTip(qtString(text::closeInstaller));
    connect(close_, &QAbstractButton::clicked, this, &InstallerCardView::closeClicked);

    resize(static_cast<int>(style::cardWidth), static_cast<int>(style::cardHeight));
    apply(card_);
}

InstallerCardView::~InstallerCardView() = default;

void InstallerCardView::apply(const CardModel& card) {
    card_ = card;
    action_->setText(qtString(card.actionTitle));
    action_->setVisible(card.actionVisible);
    action_->setEnabled(card.actionEnabled);
    close_->setEnabled(card.closeEnabled);
    progress_->setVisible(card.progressVisible);
    progress_->setFraction(card.fraction);
    detail_->setToolTip(qtString(card.detailToolTip));
    placeSubviews();
}

TextMeasure InstallerCardView::measure() const {
    return qtTextMeasure(detail_->font());
}

void InstallerCardView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The border is centred on the card's edge, so half of it would be cut off; keeping
    // it inside shows the whole hairline.
    const double inset = style::cardBorderWidth / 2;
    const QRectF card = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    QPainterPath path;
    path.addRoundedRect(card, style::cardCornerRadius, style::cardCornerRadius);
    painter.fillPath(path, qtColour(style::cardBackground));
    painter.setPen(QPen(qtColour(style::cardBorder), style::cardBorderWidth));
    painter.drawPath(path);
}

void InstallerCardView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeSubviews();
}

void InstallerCardView::placeSubviews() {
    const CardFrames frames = ui::layout(card_, width(), height());
    const auto place = [this](QWidget* view, Frame frame) {
        view->setGeometry(qtRect(topLeftFrame(frame, height())));
    };
    place(heading_, frames.heading);
    place(close_, frames.close);
    place(icon_, frames.icon);
    place(status_, frames.status);
    place(progress_, frames.progress);
    place(detail_, frames.detail);
    place(action_, frames.action);

    // Texts that depend on the width are set after the frames, so the status is cut
    // and the message clamped for the room they really have.
    status_->setText(elidedStatus(*status_, qtString(card_.status)));
    detail_->setText(clampedLines(qtString(card_.detail), detail_->font(), detail_->width(),
                                  style::detailMaximumLines));
    icon_->setPixmap(appIcon(icon_->size()));
}

} // namespace installer::ui
