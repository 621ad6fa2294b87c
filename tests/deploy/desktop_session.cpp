#include "deploy/desktop_session.h"

#include <xcb/xcb.h>

#include <QDir>
#include <QFile>
#include <cstring>

#include "support/wait.h"

namespace tgw::test {

namespace {

QString run(const QString& program, const QStringList& arguments, const QProcessEnvironment& env) {
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(program, arguments);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(20000)) {
        tool.kill();
        tool.waitForFinished();
    }
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return a;
}

}  // namespace

XServer::XServer() {
    m_process.start("bash", {"-c",
                             "exec Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp "
                             "-noreset 3>" +
                                 m_dir.path() + "/display 2>/dev/null"});
    waitUntil([&] { return !number().isEmpty(); }, 10000);
}

XServer::~XServer() {
    stopProcess(m_process);
}

QString XServer::number() const {
    QFile file(m_dir.path() + "/display");
    return file.open(QIODevice::ReadOnly) ? QString(file.readLine()).trimmed() : QString();
}

QProcessEnvironment XServer::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display());
    // Nothing on this display starts a session bus of its own.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_dir.path() + "/no-bus");
    return env;
}

QString XServer::xdotool(const QStringList& arguments) const {
    return run("xdotool", arguments, environment());
}

QStringList XServer::visibleWindows(const QString& name) const {
    return xdotool({"search", "--onlyvisible", "--name", name}).split('\n', Qt::SkipEmptyParts);
}

QRect XServer::geometry(const QString& window) const {
    QRect r;
    for (const QString& line : xdotool({"getwindowgeometry", "--shell", window}).split('\n')) {
        const int value = line.section('=', 1).toInt();
        if (line.startsWith("X=")) r.moveLeft(value);
        if (line.startsWith("Y=")) r.moveTop(value);
        if (line.startsWith("WIDTH=")) r.setWidth(value);
        if (line.startsWith("HEIGHT=")) r.setHeight(value);
    }
    return r;
}

bool XServer::close(const QString& window) const {
    xcb_connection_t* c = xcb_connect(display().toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) return xcb_disconnect(c), false;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window.toULong());
    event.type = atom(c, "WM_PROTOCOLS");
    event.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    const bool sent = xcb_flush(c) > 0;
    xcb_disconnect(c);
    return sent;
}

void XServer::screenshot(const QString& file, const QRect& area) const {
    QDir().mkpath(file.section('/', 0, -2));
    QStringList arguments{"-window", "root"};
    if (area.isValid())
        arguments << "-crop"
                  << QString("%1x%2+%3+%4")
                         .arg(area.width())
                         .arg(area.height())
                         .arg(area.x())
                         .arg(area.y());
    run("import", arguments << file, environment());
}

TrayHost::TrayHost(const XServer& x) {
    m_process.setProcessEnvironment(x.environment());
    m_process.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request",
                               "--height", "32", "--transparent", "false"});
    m_process.waitForStarted(5000);
}

TrayHost::~TrayHost() {
    stopProcess(m_process);
}

Keyring::Keyring(const QString& home) : m_home(home) {}

Keyring::~Keyring() {
    stopProcess(m_daemon);
    stopProcess(m_bus);
}

QProcessEnvironment Keyring::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.insert("HOME", m_home);
    env.insert("XDG_DATA_HOME", m_home + "/.local/share");
    env.insert("XDG_RUNTIME_DIR", m_home + "/keyring-run");
    if (!m_address.isEmpty()) env.insert("DBUS_SESSION_BUS_ADDRESS", m_address);
    return env;
}

bool Keyring::start() {
    QDir().mkpath(m_home + "/keyring-run");
    QFile::setPermissions(m_home + "/keyring-run",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_bus.setProcessEnvironment(environment());
    m_bus.start("dbus-daemon", {"--session", "--nofork", "--nosyslog", "--print-address=1"});
    if (!waitUntil([&] { return m_bus.canReadLine(); }, 10000)) return false;
    m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
    m_daemon.setProcessEnvironment(environment());
    // The login keyring's password, "test", on its standard input: the
    // keyring is made with it and unlocked.
    m_daemon.start("bash", {"-c",
                            "exec gnome-keyring-daemon --foreground --unlock "
                            "--components=secrets <<< test"});
    // Up once the daemon holds the service's name (asking the service itself
    // earlier would have the bus start another, locked one) and the login
    // keyring, made with that password, is open.
    auto ask = [&](const QString& path, const QStringList& call) {
        return run("dbus-send",
                   QStringList{"--session", "--print-reply", "--dest=" + path.section(' ', 0, 0),
                               path.section(' ', 1)} +
                       call,
                   environment());
    };
    return waitUntil(
        [&] {
            return ask("org.freedesktop.DBus /org/freedesktop/DBus",
                       {"org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"})
                       .contains("boolean true") &&
                   ask("org.freedesktop.secrets /org/freedesktop/secrets/collection/login",
                       {"org.freedesktop.DBus.Properties.Get",
                        "string:org.freedesktop.Secret.Collection", "string:Locked"})
                       .contains("boolean false");
        },
        20000);
}

QString Keyring::agentSecret(const QString& key) const {
    return run("secret-tool", {"lookup", "server", "tgw-mobile-tool", "user", key}, environment());
}

QString Keyring::agentEntry() const {
    return run("secret-tool", {"search", "--all", "server", "tgw-mobile-tool"}, environment());
}

}  // namespace tgw::test

namespace tgw::test {

bool NotificationService::start(const QString& busAddress) {
    m_name = "notifications-" + busAddress;
    QDBusConnection bus = QDBusConnection::connectToBus(busAddress, m_name);
    return bus.registerObject("/org/freedesktop/Notifications", this,
                              QDBusConnection::ExportAllSlots) &&
           bus.registerService("org.freedesktop.Notifications");
}

NotificationService::~NotificationService() {
    if (!m_name.isEmpty()) QDBusConnection::disconnectFromBus(m_name);
}

uint NotificationService::Notify(const QString&, uint, const QString&, const QString&,
                                 const QString& body, const QStringList&, const QVariantMap&,
                                 int) {
    shown << body;
    return uint(shown.size());
}

}  // namespace tgw::test
