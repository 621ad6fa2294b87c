#include "ui/desktop.h"

#include <sys/socket.h>
#include <unistd.h>
#ifdef TGW_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include <QApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>

#include "app/app_delegate.h"
#include "app/devices/device_monitor.h"
#include "app/devices/device_watch.h"
#include "app/login/credential_store.h"
#include "common/diagnostics.h"
#include "common/log_handler.h"
#include "ui/terminal.h"
#include "ui/tray.h"
#include "ui/view_controller.h"

namespace tgw::ui {

namespace {

// SIGTERM, SIGINT and SIGHUP become an event on the main loop: the handler only writes
// one byte into a socket pair that a notifier watches.
int g_signalFds[2] = {-1, -1};

void onSignal(int signal) {
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = write(g_signalFds[0], &byte, 1);
    errno = saved;
}

bool watchSignals(QObject* context, std::function<void(int signal)> onQuit) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalFds) != 0)
        return false;
    auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [onQuit = std::move(onQuit), done = false]() mutable {
                         char buffer[16];
                         int signal = 0;
                         for (ssize_t n; (n = read(g_signalFds[1], buffer, sizeof buffer)) > 0;)
                             if (!signal) signal = buffer[0];
                         if (done) return;  // already quitting
                         done = true;
                         onQuit(signal);
                     });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);  // the terminal or the session went away
    return true;
}

// A tray host may start after the agent (both are started with the session):
// it is looked for this long before a hidden start shows the window instead.
constexpr int kTrayWaitMs = 10'000;

}  // namespace

QString missingDisplay() {
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) return {};
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return {};
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        return QStringLiteral(
            "no display: neither DISPLAY nor WAYLAND_DISPLAY is set (QT_QPA_PLATFORM=offscreen "
            "runs without one)");
    }
#ifdef TGW_HAVE_XCB
    // Qt aborts when the X display it is given cannot be opened (a session
    // that has ended, a DISPLAY left from another login): try it first.
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    if (error) {
        QString name = qEnvironmentVariable("DISPLAY");
        for (QChar& c : name) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = u'?';
        }
        return QStringLiteral(
                   "no display: the X display \"%1\" cannot be opened (not running, or not "
                   "this user's)")
            .arg(name);
    }
#endif
    return {};
}

int reportStartError(int& argc, char** argv, const QString& line) {
    if (logsToJournal()) {
        qCCritical(lcConfig).noquote() << line;
    } else {
        printError(line);
    }
    if (missingDisplay().isEmpty()) {
        QApplication application(argc, argv);
        QApplication::setWindowIcon(programIcon());
        QMessageBox box(QMessageBox::Critical, QStringLiteral("TGW Mobile Tool"),
                        QStringLiteral("TGW Mobile Tool kan niet starten: een instelling is "
                                       "onjuist. Vraag de beheerder dit te herstellen."));
        // The setting's own words, for the administrator.
        box.setInformativeText(line);
        box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        box.exec();
    }
    return kStartError;
}

int runDesktop(int& argc, char** argv, const app::Config& config, SingleInstance& instance,
               DesktopOptions options) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.tgw.MobileTool"));
    QApplication::setWindowIcon(programIcon());

    app::AppDelegate appDelegate(config);
    app::KeyringStore keyring(app::originOf(config.webUrl));
    appDelegate.loginFlow().setCredentialStore(&keyring);
    ViewController window(appDelegate);
    Tray tray(window);
    app::DeviceMonitor& deviceMonitor = appDelegate.deviceMonitor();
    QObject::connect(&deviceMonitor, &app::DeviceMonitor::devicesChanged, &window,
                     &ViewController::showDevicePresence);
    QObject::connect(&window, &ViewController::technicianNeeded, &window, [&] {
        tray.showWindow();
        QApplication::alert(&window);
    });

    watchSignals(&application, [&window](int signal) {
        window.quit(QString("signal %1 (%2)").arg(signal).arg(strsignal(signal)).toStdString());
    });
    instance.setStatusSource([&appDelegate] {
        return QJsonDocument(appDelegate.status()).toJson(QJsonDocument::Compact);
    });
    QObject::connect(&instance, &SingleInstance::raiseRequested, &tray, &Tray::showWindow);
    instance.listen();

    bool technicianWanted = false;  // hidden, but nothing to log in with
    auto* trayWait = new QTimer(&application);
    trayWait->setInterval(250);
    QObject::connect(trayWait, &QTimer::timeout, &application, [&, waited = 0]() mutable {
        waited += trayWait->interval();
        if (Tray::available()) {
            trayWait->stop();
            tray.show();
            if (technicianWanted) tray.showWindow();
        } else if (waited >= kTrayWaitMs) {
            trayWait->stop();
            if (!window.isVisible()) window.show();  // no tray to live in
        }
    });
    if (Tray::available())
        tray.show();
    else
        trayWait->start();

    if (!options.hidden) window.show();
    window.restoreLogin([&](bool started) {
        technicianWanted = !started;
        if (technicianWanted && !trayWait->isActive()) tray.showWindow();
    });

    // Lists the phones once now and again on every USB plug or unplug.
    app::DeviceWatch deviceWatch(deviceMonitor);
    const int status = QApplication::exec();
    // The session manager ended the event loop (the desktop session ends):
    // the broker still gets its DISCONNECT and the tools are stopped, on a
    // loop of their own (the application's has ended).
    if (!window.isQuitting()) {
        QEventLoop loop;
        window.quit("the end of the desktop session", [&loop] { loop.quit(); });
        loop.exec();
    }
    return status;
}

}  // namespace tgw::ui
