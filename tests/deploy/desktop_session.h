// A desktop for the real agent: an X server (Xvfb), a system tray host
// (trayer, an XEmbed tray) and a Secret Service keyring (gnome-keyring on a
// session bus of its own, unlocked), each stopped by its own pid when the
// object goes.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace tgw::test {

// An X server on a display of its own.
class XServer {
  public:
    XServer();
    ~XServer();
    QString display() const { return ":" + number(); }
    // The caller's environment for a program on this display.
    QProcessEnvironment environment() const;
    // Runs xdotool on this display; its standard output.
    QString xdotool(const QStringList& arguments) const;
    // The visible top-level windows titled `name`.
    QStringList visibleWindows(const QString& name) const;
    QRect geometry(const QString& window) const;
    // Asks the window to close, as a window manager's close button does.
    bool close(const QString& window) const;
    // The whole screen, or `area` of it, as a PNG file.
    void screenshot(const QString& file, const QRect& area = {}) const;

  private:
    QString number() const;
    QTemporaryDir m_dir;
    QProcess m_process;
};

// trayer on `x`'s display: the top edge, right-aligned.
class TrayHost {
  public:
    explicit TrayHost(const XServer& x);
    ~TrayHost();

  private:
    QProcess m_process;
};

// A session bus with gnome-keyring's Secret Service, its keyrings under `home`.
class Keyring {
  public:
    explicit Keyring(const QString& home);
    ~Keyring();
    // False when the bus or the keyring did not come up.
    bool start();
    QString busAddress() const { return m_address; }
    // What `secret-tool search --all` prints for the agent's entry.
    QString agentEntry() const;
    // The secret of the agent's entry whose key is `key` (empty when none).
    QString agentSecret(const QString& key) const;

  private:
    QProcessEnvironment environment() const;
    QString m_home;
    QString m_address;
    QProcess m_bus;
    QProcess m_daemon;
};

}  // namespace tgw::test

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

namespace tgw::test {

// The desktop's notification service, on the bus at `busAddress`: answers
// Notify and records the body of every notice it was asked to show.
class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    // False when the name could not be taken on the bus.
    bool start(const QString& busAddress);
    ~NotificationService() override;
    QStringList shown;

  public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout);

  private:
    QString m_name;
};

}  // namespace tgw::test
