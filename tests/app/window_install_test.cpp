// The graphical install on Qt's offscreen platform: the real window, and once end to end
// with the real release service and package host over HTTPS, the emulated macOS tools
// and the sample application confirming its start. The button is pressed as a user would.

#include "app/window_sandbox.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;

TEST(WindowQuestion, OpensBesideTheCardUnderTheInstallersNameAndAStopDeclinesIt) {
    const struct {
        const char* name;
        std::function<void(QMessageBox&, std::stop_source&)> answer;
        bool accepted;
    } rows[] = {
        {"accepted", [](QMessageBox& box, std::stop_source&) { box.buttons().at(0)->click(); },
         true},
        {"its window closed", [](QMessageBox& box, std::stop_source&) { box.close(); }, false},
        {"the run stopped", [](QMessageBox&, std::stop_source& stop) { stop.request_stop(); },
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ui::InstallerWindow window;
        window.placeAtLaunch(QGuiApplication::primaryScreen());
        window.show();
        app::WindowDisplay display(window);
        std::stop_source stop;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle().toStdString(), "AI澄翎网盘安装器");
            EXPECT_EQ(box->buttons().at(0)->text().toStdString(), "安装到用户目录");
            EXPECT_EQ(box->frameGeometry().top(), window.frameGeometry().top());
            EXPECT_FALSE(box->frameGeometry().intersects(window.frameGeometry()));
            row.answer(*box, stop);
            // Should the answer not end the question, it ends accepted, which no row
            // but the first expects.
            QTimer::singleShot(1000, box, [box] { box->buttons().at(0)->click(); });
        });
        EXPECT_EQ(display.confirmUserApplications(stop.get_token()), row.accepted);
    }
}

// The install rules themselves are the install transaction's; here the window's run
// applies them: a release already in place is refused before its download.
TEST(WindowInstall, ThePressedButtonInstallsThenRefusesTheSameRelease) {
    WindowSandbox sandbox;
    auto phases = sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "complete") << sandbox.window.card().detail;
    for (const char* expected : {"checking", "downloading", "verifying", "installing"})
        EXPECT_NE(std::find(phases.begin(), phases.end(), expected), phases.end()) << expected;
    EXPECT_EQ(bundleShortVersion(sandbox.target()), "1.1.0");
    EXPECT_FALSE(fs::exists(sandbox.cacheFolder()));

    sandbox.window.render(ui::Ready{});
    phases = sandbox.pressAndWait();
    ASSERT_EQ(sandbox.phase(), "failed");
    EXPECT_EQ(sandbox.window.card().detail, "已安装相同或更新版本");
    EXPECT_EQ(std::find(phases.begin(), phases.end(), "downloading"), phases.end());
}

} // namespace
} // namespace installer::testing
