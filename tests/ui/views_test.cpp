#include "ui/installer_progress_view.h"
#include "ui/installer_window.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>
#include <string>

namespace installer::ui {
namespace {

const std::string longFailure =
    "无法连接到下载服务器。请检查网络连接是否正常、代理设置是否正确，然后重试。"
    "如果问题持续出现，请联系管理员并提供以下信息：NSURLErrorDomain 错误 -1004，"
    "主机 downloads.example.com 端口 443，请求在 60 秒后超时，已重试三次仍未成功。";

TEST(UiViewCard, EachPhaseShowsTheModelsTextsAndControlsWithTheWindowsTopEdgeKept) {
    InstallerWindow window;
    window.move(120, 260);
    window.show();
    // What the user reads and can press in each of the card's shapes: a bar part-filled,
    // the button hidden, the card grown by a short and by a long message, and shrunk back.
    const InstallerPhase phases[] = {
        Downloading{1'500'000, 3'000'000},
        Installing{"正在安装…"},
        Failed{"安装包校验失败"},
        Failed{longFailure},
        Ready{},
    };
    for (const auto& phase : phases) {
        SCOPED_TRACE(phase.index());
        window.render(phase);
        const CardModel& card = window.card();
        EXPECT_EQ(window.geometry().topLeft(), QPoint(120, 260));
        EXPECT_EQ(window.size(), QSize(360, static_cast<int>(card.contentHeight)));
        auto& action = *window.findChild<QPushButton*>("action");
        auto& detail = *window.findChild<QLabel*>("detail");
        auto& progress = *window.findChild<InstallerProgressView*>("progress");
        EXPECT_EQ(std::tuple(window.findChild<QLabel*>("status")->text().toStdString(),
                             detail.toolTip().toStdString(), action.text().toStdString(),
                             action.isVisible(), progress.isVisible(), progress.fraction(),
                             window.findChild<QAbstractButton*>("close")->isEnabled()),
                  std::tuple(card.status, card.detailToolTip, card.actionTitle, card.actionVisible,
                             card.progressVisible, card.fraction, card.closeEnabled));
        if (card.detail != longFailure) {
            EXPECT_EQ(detail.text().toStdString(), card.detail);
        } else {
            // Four lines at most; lines mixing scripts differ by a point or so, so half a
            // line of the message's own script tells four from five.
            const QFontMetricsF metrics(detail.font());
            const auto wrapped = [&](const QString& string) {
                return metrics
                    .boundingRect(QRectF(0, 0, detail.width(), 1000), Qt::TextWordWrap, string)
                    .height();
            };
            EXPECT_NEAR(wrapped(detail.text()), 4 * wrapped(QStringLiteral("安装")),
                        wrapped(QStringLiteral("安装")) / 2);
        }
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(&progress);
        EXPECT_EQ(bar->role(), QAccessible::ProgressBar);
        EXPECT_DOUBLE_EQ(bar->valueInterface()->currentValue().toDouble(), card.fraction * 100);
    }
}

TEST(UiViewWindow, OpensInTheMainScreensTopRightCornerOrCentredWithoutOne) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    InstallerWindow window;
    window.placeAtLaunch(QGuiApplication::primaryScreen());
    EXPECT_EQ(window.geometry().topRight(), QPoint(area.right() - 40, area.top() + 40));
    window.placeAtLaunch(nullptr);
    EXPECT_LE((window.geometry().center() - area.center()).manhattanLength(), 1);
}

// The guard is the delegate's refusal while installing; the program's own close (of the
// complete card) does not ask it.
TEST(UiViewWindow, CloseRequestsAskTheGuardButTheProgramsOwnCloseDoesNot) {
    for (const bool allowed : {true, false}) {
        InstallerWindow window;
        int asked = 0;
        window.setCloseGuard([&] {
            ++asked;
            return allowed;
        });
        window.show();
        window.close();
        EXPECT_EQ(window.isVisible(), !allowed);
        window.closeUnasked();
        EXPECT_FALSE(window.isVisible());
        EXPECT_EQ(asked, 1);
    }
}

} // namespace
} // namespace installer::ui
