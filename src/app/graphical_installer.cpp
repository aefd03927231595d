#include "app/graphical_installer.h"

#include "app/app_delegate.h"
#include "app/qt_window_display.h"
#include "ui/card_style.h"
#include "ui/installer_window.h"
#include "ui/qt_card_style.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>

namespace installer::app {

namespace {

// Owns the argument strings QApplication keeps pointers to for its whole life.
struct ArgumentVector {
    explicit ArgumentVector(const std::vector<std::string>& arguments) : storage(arguments) {
        for (auto& argument : storage)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        count = static_cast<int>(storage.size());
    }
    std::vector<std::string> storage;
    std::vector<char*> pointers;
    int count = 0;
};

} // namespace

void runGraphicalInstaller(const std::vector<std::string>& arguments, release::Settings config,
                           GraphicalOptions options, const platform::System& system,
                           const platform::EventLog& log) {
    ArgumentVector argv(arguments);
    QApplication application(argv.count, argv.pointers.data());
    QtMainThread mainThread(application);
    const platform::FileManager files;
    NetworkInstallServices services(config, system, options.transport, options.toolDir, log);

    ui::InstallerWindow window;
    window.setWindowTitle(QStringLiteral("AI澄翎网盘"));
    WindowDisplay display(window);
    AppDelegate delegate(
        config, {options.systemApplications, system, files, mainThread, services, log}, display);
    QObject::connect(&window, &ui::InstallerWindow::actionClicked, [&] { delegate.action(); });
    QObject::connect(&window, &ui::InstallerWindow::closeClicked, [&] { delegate.close(); });
    window.setCloseGuard([&] { return delegate.windowShouldClose(); });

    // The platform's quit shortcut works on the window itself as well, where there is no
    // global menu bar to carry it. On macOS Qt moves the entry into the application menu;
    // with the quit role it would also replace the title by its own "Quit <name>", so
    // the entry carries an application-specific role, which keeps the title as written
    // and still sends the quit request through the delegate with the same shortcut.
    QMenuBar menuBar;
    QMenu* menu = menuBar.addMenu(ui::qtString(ui::text::installerName));
    QAction* quit = menu->addAction(ui::qtString(ui::text::quitInstaller));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::ApplicationSpecificRole);
    QObject::connect(quit, &QAction::triggered, [&] {
        if (delegate.shouldTerminate())
            application.quit();
    });
    window.addAction(quit);

    window.placeAtLaunch(QGuiApplication::primaryScreen());
    window.show();
    window.raise();
    window.activateWindow();
    QApplication::exec();
}

} // namespace installer::app
