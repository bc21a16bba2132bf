// Tarnix Gateway: starting the program loads the main window; unloading it ends the program.

#include "common/clock.h"
#include "platform/network_page_loader.h"
#include "platform/unix_signal_watcher.h"
#include "platform/widgets/qt_message_box.h"
#include "platform/widgets/tray_notify_area.h"
#include "shell/command_line.h"
#include "shell/gateway_shell.h"
#include "shell/headless_start.h"
#include "shell/view/app_icon.h"
#include "shell/view/gateway_window.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    // Before the toolkit starts: --help, --version and --set-login need no display.
    const CommandLine::Outcome options = CommandLine::handleProcess(argc, argv);
    if (options.exitCode)
        return *options.exitCode;
    if (options.headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // A service that cannot do its work ends with the reason rather than serving half.
        const QString problem = HeadlessStart::problem();
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "tarnix-gateway: %s\n", qPrintable(problem));
            return CommandLine::kExitFailure;
        }
    }
    // With hundreds of proxy sockets the GLib event dispatcher spends its time walking its list
    // of watches; Qt's own Unix dispatcher does not.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarnix-gateway"));
    QApplication::setWindowIcon(appIcon());
    // Hiding into the notification area must not end the program; only the unload does.
    QApplication::setQuitOnLastWindowClosed(false);

    SystemClock clock;
    QtMessageBox messages;
    TrayNotifyArea notifyArea(appIcon(), !options.headless);
    NetworkPageLoader pageLoader;
    GatewayShell model({messages, notifyArea, clock, pageLoader});
    GatewayWindow window(model);
    messages.setParent(&window);

    UnixSignalWatcher stopSignals;
    QObject::connect(&stopSignals, &UnixSignalWatcher::stopRequested, &model, &GatewayShell::quit);
    // Queued: an unload during the load (a failed automatic start) ends the run once the event
    // loop is running.
    QObject::connect(
        &model, &GatewayShell::unloaded, &app, [](int exitCode) { QApplication::exit(exitCode); },
        Qt::QueuedConnection);

    model.startUp();
    // A service has no screen to show the window on.
    if (!options.headless)
        window.applyVisibility();
    return QApplication::exec();
}
