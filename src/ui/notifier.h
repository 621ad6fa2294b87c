// Notifier: a short notice for the technician. Goes to the desktop's
// notification service (org.freedesktop.Notifications on the session bus)
// when one owns that name, each replacing the one before; otherwise it is
// the tray icon's own message, if the icon is shown. Lives on the main thread.
#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>


namespace tgw::ui {

class Notifier {
  public:
    static constexpr const char* kService = "org.freedesktop.Notifications";

    // `icon` must outlive the notifier.
    explicit Notifier(QSystemTrayIcon& icon) : m_icon(icon) {}
    // Shows `text`.
    void notify(const QString& text);

  private:
    QSystemTrayIcon& m_icon;
    QObject m_context;  // parent of the calls still unanswered
    uint m_lastId = 0;  // the service's id of the last notice, replaced by the next
};

}  // namespace tgw::ui
