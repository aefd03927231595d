#include "ui/card_style.h"
#include "ui/installer_card_view.h"
#include "ui/installer_progress_view.h"
#include "ui/installer_window.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <cstdlib>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace installer::ui {

void PrintTo(const Frame& frame, std::ostream* out) {
    *out << '(' << frame.x << ", " << frame.y << ", " << frame.width << ", " << frame.height << ')';
}

namespace {

std::string text(const QString& string) {
    return string.toStdString();
}

Frame frameOf(const QWidget& widget) {
    const QRect rect = widget.geometry();
    return {static_cast<double>(rect.x()), static_cast<double>(rect.y()),
            static_cast<double>(rect.width()), static_cast<double>(rect.height())};
}

template <class Widget> Widget& child(InstallerWindow& window, const char* name) {
    auto* found = window.findChild<Widget*>(QLatin1String(name));
    if (!found)
        std::abort();
    return *found;
}

const std::string longFailure =
    "无法连接到下载服务器。请检查网络连接是否正常、代理设置是否正确，然后重试。"
    "如果问题持续出现，请联系管理员并提供以下信息：NSURLErrorDomain 错误 -1004，"
    "主机 downloads.example.com 端口 443，请求在 60 秒后超时，已重试三次仍未成功。";

struct PhaseRow {
    const char* name;
    InstallerPhase phase;
};

const std::vector<PhaseRow>& phases() {
    static const std::vector<PhaseRow> rows = {
        {"ready", Ready{}},
        {"checking", Checking{}},
        {"downloading", Downloading{1'500'000, 3'000'000}},
        {"verifying", Verifying{}},
        {"installing", Installing{"正在安装…"}},
        {"confirming", Installing{"安装完成，正在确认启动…"}},
        {"complete", Complete{}},
        {"failed", Failed{"安装包校验失败"}},
        {"failed-long", Failed{longFailure}},
        {"cancelled", Cancelled{}},
    };
    return rows;
}

TEST(UiViewCard, EachPhaseIsDrawnWhereAndAsTheModelSays) {
    InstallerWindow window;
    window.show();
    for (const auto& row : phases()) {
        SCOPED_TRACE(row.name);
        window.render(row.phase);
        const CardModel& card = window.card();
        const double height = card.contentHeight;
        EXPECT_EQ(window.height(), height);
        EXPECT_EQ(window.width(), style::cardWidth);
        EXPECT_EQ(window.cardView().geometry(), window.rect());
        const struct {
            const char* name;
            Frame frame;
        } subviews[] = {
            {"heading", card.frames.heading},   {"close", card.frames.close},
            {"icon", card.frames.icon},         {"status", card.frames.status},
            {"progress", card.frames.progress}, {"detail", card.frames.detail},
            {"action", card.frames.action},
        };
        for (const auto& subview : subviews) {
            SCOPED_TRACE(subview.name);
            EXPECT_EQ(frameOf(child<QWidget>(window, subview.name)),
                      topLeftFrame(subview.frame, height));
        }
        auto& action = child<QPushButton>(window, "action");
        auto& close = child<QAbstractButton>(window, "close");
        auto& progress = child<InstallerProgressView>(window, "progress");
        auto& detail = child<QLabel>(window, "detail");
        EXPECT_EQ(text(child<QLabel>(window, "heading").text()), text::heading);
        EXPECT_EQ(text(child<QLabel>(window, "status").text()), card.status);
        if (card.detail != longFailure) {
            EXPECT_EQ(text(detail.text()), card.detail);
        }
        EXPECT_EQ(text(detail.toolTip()), card.detailToolTip);
        EXPECT_EQ(text(action.text()), card.actionTitle);
        EXPECT_EQ(action.isVisible(), card.actionVisible);
        EXPECT_EQ(action.isEnabled(), card.actionEnabled);
        EXPECT_EQ(close.isEnabled(), card.closeEnabled);
        EXPECT_EQ(progress.isVisible(), card.progressVisible);
        EXPECT_EQ(progress.fraction(), card.fraction);
    }
}

TEST(UiViewWindow, GrowsAndShrinksDownwardsWithItsTopEdgeKept) {
    InstallerWindow window;
    window.move(120, 260);
    window.show();
    const int top = window.geometry().top();
    const struct {
        const char* name;
        InstallerPhase phase;
        int minimumHeight;
        int maximumHeight;
    } steps[] = {
        {"one-line failure", Failed{"安装包校验失败"}, 144, 144},
        {"long failure", Failed{longFailure}, 194, 194},
        {"ready again", Ready{}, 132, 132},
        {"ready twice", Ready{}, 132, 132},
        {"failure after ready", Failed{"网络连接已中断"}, 144, 144},
        {"cancelled", Cancelled{}, 132, 132},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        window.render(step.phase);
        EXPECT_EQ(window.geometry().top(), top);
        EXPECT_EQ(window.geometry().left(), 120);
        EXPECT_GE(window.height(), step.minimumHeight);
        EXPECT_LE(window.height(), step.maximumHeight);
        EXPECT_EQ(window.width(), style::cardWidth);
    }
}

TEST(UiViewWindow, LongFailureShowsFourLinesAndKeepsTheRestInTheTooltip) {
    InstallerWindow window;
    window.show();
    window.render(Failed{longFailure});
    const auto& detail = child<QLabel>(window, "detail");
    EXPECT_EQ(text(detail.toolTip()), longFailure);
    EXPECT_LT(detail.text().size(), QString::fromStdString(longFailure).size());
    // One line of the message's own script, as Chinese text may come from a fallback
    // font taller than the label's primary one.
    const QFontMetricsF metrics(detail.font());
    const auto wrappedHeight = [&](const QString& string) {
        return metrics.boundingRect(QRectF(0, 0, detail.width(), 1000), Qt::TextWordWrap, string)
            .height();
    };
    const double line = wrappedHeight(QStringLiteral("安装"));
    const double shown = wrappedHeight(detail.text());
    // Lines mixing scripts differ by a point or so; half a line tells four from five.
    EXPECT_LT(shown, (style::detailMaximumLines + 0.5) * line);
    EXPECT_GT(shown, (style::detailMaximumLines - 0.5) * line);
}

TEST(UiViewWindow, OpensInTheTopRightCornerOfThePrimaryScreen) {
    InstallerWindow window;
    window.placeAtLaunch(QGuiApplication::primaryScreen());
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(area.x() + area.width() - (window.x() + window.width()), 40);
    EXPECT_EQ(window.y() - area.y(), 40);
}

TEST(UiViewWindow, IsFramelessFloatingAndTranslucent) {
    InstallerWindow window;
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));
}

TEST(UiViewWindow, CloseRequestsAskTheGuardButTheProgramsOwnCloseDoesNot) {
    const struct {
        const char* name;
        bool allowed;
        bool unasked;
        bool closes;
    } rows[] = {
        {"allowed", true, false, true},
        {"refused", false, false, false},
        {"refused but decided by the program", false, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        InstallerWindow window;
        int asked = 0;
        int closed = 0;
        window.setCloseGuard([&] {
            ++asked;
            return row.allowed;
        });
        QObject::connect(&window, &InstallerWindow::closed, [&] { ++closed; });
        window.show();
        if (row.unasked)
            window.closeUnasked();
        else
            window.close();
        EXPECT_EQ(asked, row.unasked ? 0 : 1);
        EXPECT_EQ(closed, row.closes ? 1 : 0);
        EXPECT_EQ(window.isVisible(), !row.closes);
    }
}

TEST(UiViewWindow, ButtonsReportTheirPresses) {
    InstallerWindow window;
    window.show();
    int actions = 0;
    int closes = 0;
    QObject::connect(&window, &InstallerWindow::actionClicked, [&] { ++actions; });
    QObject::connect(&window, &InstallerWindow::closeClicked, [&] { ++closes; });
    child<QPushButton>(window, "action").click();
    child<QAbstractButton>(window, "close").click();
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(closes, 1);
    // While installing the action button is hidden and the close button refuses.
    window.render(Installing{"正在安装…"});
    child<QAbstractButton>(window, "close").click();
    EXPECT_EQ(closes, 1);
    window.render(Cancelled{});
    child<QAbstractButton>(window, "close").click();
    EXPECT_EQ(closes, 2);
}

TEST(UiViewAccessibility, NamesTheIconCloseButtonAndBarAndAnnouncesThePercentage) {
    InstallerWindow window;
    window.show();
    window.render(Downloading{750'000, 3'000'000});
    auto& progress = child<InstallerProgressView>(window, "progress");
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(&progress);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->role(), QAccessible::ProgressBar);
    EXPECT_EQ(text(bar->text(QAccessible::Name)), text::progressAccessibilityLabel);
    ASSERT_NE(bar->valueInterface(), nullptr);
    EXPECT_DOUBLE_EQ(bar->valueInterface()->currentValue().toDouble(), 25);

    const auto& close = child<QAbstractButton>(window, "close");
    EXPECT_EQ(text(close.accessibleName()), text::closeInstaller);
    EXPECT_EQ(text(close.toolTip()), text::closeInstaller);
    const auto& icon = child<QLabel>(window, "icon");
    EXPECT_EQ(text(icon.accessibleName()), text::iconAccessibilityLabel);
    // The product's picture is built in, not left to whatever icon the platform has.
    EXPECT_FALSE(icon.pixmap().isNull());
}

bool near(QColor seen, Rgba expected) {
    const QColor want =
        QColor::fromRgbF(static_cast<float>(expected.red), static_cast<float>(expected.green),
                         static_cast<float>(expected.blue));
    return std::abs(seen.red() - want.red()) <= 2 && std::abs(seen.green() - want.green()) <= 2 &&
           std::abs(seen.blue() - want.blue()) <= 2;
}

TEST(UiViewProgress, DrawsTheTrackAndAtLeastASliverOfFill) {
    const struct {
        double fraction;
        // Columns of the 256-point bar that must show the fill.
        int filled;
    } rows[] = {
        {0, 0}, {-0.5, 0}, {0.001, 5}, {0.5, 128}, {1, 256},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fraction);
        QWidget parent;
        InstallerProgressView bar(&parent);
        bar.setGeometry(0, 0, 256, 5);
        bar.setFraction(row.fraction);
        const QImage image = bar.grab().toImage();
        const int middle = image.height() / 2;
        const double scale = image.width() / 256.0;
        if (row.filled > 0) {
            EXPECT_TRUE(
                near(image.pixelColor(int(row.filled / 2 * scale), middle), style::progressFill));
        }
        if (row.filled + 3 < 256) {
            EXPECT_TRUE(near(image.pixelColor(int((row.filled + 3) * scale), middle),
                             style::progressTrack));
        }
    }
}

// Not a check but a picture of every phase for a person to look at.
} // namespace

} // namespace installer::ui
