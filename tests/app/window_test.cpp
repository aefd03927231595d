#include "app/window_sandbox.h"
#include "ui/installer_progress_view.h"

#include <QAccessible>
#include <QApplication>
#include <QFontMetricsF>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

namespace installer::testing {
namespace {

const std::string longFailure =
    "无法连接到下载服务器。请检查网络连接是否正常、代理设置是否正确，然后重试。"
    "如果问题持续出现，请联系管理员并提供以下信息：NSURLErrorDomain 错误 -1004，"
    "主机 downloads.example.com 端口 443，请求在 60 秒后超时，已重试三次仍未成功。";

TEST(UiViewWindow, ShowsEachPhaseAsTheModelSaysAndClosesOnlyWhereTheGuardLetsIt) {
    ui::InstallerWindow window;
    window.move(120, 260);
    window.show();
    // The card's shapes: bar part-filled, button hidden, grown by messages, shrunk back.
    const ui::InstallerPhase phases[] = {
        ui::Downloading{1'500'000, 3'000'000},
        ui::Installing{"正在安装…"},
        ui::Failed{longFailure},
        ui::Ready{},
    };
    for (const auto& phase : phases) {
        SCOPED_TRACE(phase.index());
        window.render(phase);
        const ui::CardModel& card = window.card();
        EXPECT_EQ(window.geometry().topLeft(), QPoint(120, 260));
        EXPECT_EQ(window.size(), QSize(360, static_cast<int>(card.contentHeight)));
        auto& action = *window.findChild<QPushButton*>("action");
        auto& detail = *window.findChild<QLabel*>("detail");
        auto& progress = *window.findChild<ui::InstallerProgressView*>("progress");
        EXPECT_EQ(std::tuple(window.findChild<QLabel*>("status")->text().toStdString(),
                             detail.toolTip().toStdString(), action.text().toStdString(),
                             action.isVisible(), progress.isVisible(), progress.fraction(),
                             window.findChild<QAbstractButton*>("close")->isEnabled()),
                  std::tuple(card.status, card.detailToolTip, card.actionTitle, card.actionVisible,
                             card.progressVisible, card.fraction, card.closeEnabled));
        if (card.detail != longFailure) {
            EXPECT_EQ(detail.text().toStdString(), card.detail);
        } else {
            // At most four lines of the message's script (mixed lines differ by a point).
            const double line =
                QFontMetricsF(detail.font())
                    .boundingRect(QRectF(0, 0, 1000, 1000), 0, QStringLiteral("安装"))
                    .height();
            EXPECT_NEAR(detail.heightForWidth(detail.width()), 4 * line, line / 2);
        }
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(&progress);
        EXPECT_EQ(bar->role(), QAccessible::ProgressBar);
        EXPECT_DOUBLE_EQ(bar->valueInterface()->currentValue().toDouble(), card.fraction * 100);
    }
    // The guard refuses while installing; the program closes the complete card unasked.
    int asked = 0;
    window.setCloseGuard([&] { return ++asked > 1; });
    window.close();
    EXPECT_TRUE(window.isVisible());
    window.closeUnasked();
    EXPECT_FALSE(window.isVisible());
    window.show();
    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(asked, 2);
}

// A missing system Applications folder asks for the user's; the release in place is refused.
TEST(WindowInstall, TheFolderQuestionDecidesTheRunThenTheSameReleaseIsRefused) {
    WindowSandbox sandbox;
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    sandbox.window.placeAtLaunch(QGuiApplication::primaryScreen());
    EXPECT_EQ(sandbox.window.geometry().topRight(), QPoint(area.right() - 40, area.top() + 40));
    std::filesystem::remove_all(sandbox.apps);
    std::function<void(QMessageBox&)> answer;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !answer)
            return;
        EXPECT_EQ(box->windowTitle().toStdString(), "AI澄翎网盘安装器");
        EXPECT_EQ(box->buttons().at(0)->text().toStdString(), "安装到用户目录");
        EXPECT_FALSE(box->frameGeometry().intersects(sandbox.window.frameGeometry()));
        std::exchange(answer, nullptr)(*box);
    });
    user.start(20);
    const struct {
        const char* name;
        std::function<void(QMessageBox&)> answer;
        const char* ends;
    } rows[] = {
        {"its window closed", [](QMessageBox& box) { box.close(); }, "cancelled"},
        {"a quit meanwhile", [&](QMessageBox&) { EXPECT_TRUE(sandbox.delegate.shouldTerminate()); },
         "cancelled"},
        {"accepted", [](QMessageBox& box) { box.buttons().at(0)->click(); }, "complete"},
    };
    std::vector<std::string> phases;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        answer = row.answer;
        const auto seen = sandbox.pressAndWait();
        phases.insert(phases.end(), seen.begin(), seen.end());
        EXPECT_EQ(sandbox.phase(), row.ends) << sandbox.window.card().detail;
        EXPECT_FALSE(answer) << "not asked";
    }
    // The package of a declined question is kept for the next run.
    EXPECT_EQ(std::count(phases.begin(), phases.end(), "downloading"), 1);
    EXPECT_EQ(bundleShortVersion(sandbox.home / "Applications/AI澄翎网盘测试版.app"), "1.1.0");

    sandbox.window.render(ui::Ready{});
    phases = sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "failed");
    EXPECT_EQ(sandbox.window.card().detail, "已安装相同或更新版本");
    EXPECT_EQ(std::find(phases.begin(), phases.end(), "downloading"), phases.end());
}

// The application running is told before its package is fetched, and again at the
// install, since the user may start it while the package downloads.
TEST(WindowInstall, TheRunningApplicationIsRefusedBeforeAnyPackageRequest) {
    WindowSandbox sandbox;
    sandbox.system.running = {std::string(testAppId)};
    auto phases = sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "failed");
    EXPECT_EQ(sandbox.window.card().detail, "请先退出网盘，避免中断传输任务");
    EXPECT_EQ(std::find(phases.begin(), phases.end(), "downloading"), phases.end());
    EXPECT_EQ(sandbox.packageHost.accessLog(), "");

    sandbox.system.running = {};
    sandbox.window.render(ui::Ready{});
    sandbox.pressAndWait();
    EXPECT_EQ(sandbox.phase(), "complete") << sandbox.window.card().detail;
}

} // namespace
} // namespace installer::testing

// Widgets need one application object for the whole program, created before any test.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
