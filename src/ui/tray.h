// Tray: the agent's icon in the desktop's system tray. Its badge follows the
// window's look (green: the web service can reach a phone; grey: connected,
// no phone ready; orange: logging in, connecting or retrying; red: someone
// must act), its tooltip names the state, the account and the phones, one
// line each; a left click shows or hides the window. Its menu starts with the
// state (disabled), then shows the window, connects at once while waiting,
// logs out while logged in, or quits. The window's notifications go to the
// desktop's notification service (notifier.h).
//
// Owned by the program next to the window, which must outlive it.
#pragma once

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <optional>

#include "ui/notifier.h"
#include "ui/view_controller.h"

namespace tgw::ui {

// "TGW Mobile Tool", the state, the e-mail address and the phones, one line
// each, without the parts that are empty.
QString trayToolTip(const QString& status, const QString& email, const QStringList& phones);

// The program's icon, drawn from the packaged SVG: for the windows.
QIcon programIcon();
// The program's icon with a badge in the colour of `look`.
QIcon trayIcon(TrayLook look);
// The badge alone, `size` pixels square: the window's state mark.
QPixmap stateMark(TrayLook look, int size);

class Tray : public QObject {
    Q_OBJECT
  public:
    explicit Tray(ViewController& window);

    // Whether the desktop has a tray to show the icon in.
    static bool available() { return QSystemTrayIcon::isSystemTrayAvailable(); }
    // Shows the icon and lets closing the window hide it.
    void show();

    // Brings the window to the front, restored if it was minimised.
    void showWindow();
    QMenu& menu() { return m_menu; }

  private:
    void update();

    ViewController& m_window;
    QMenu m_menu;
    QSystemTrayIcon m_icon;
    Notifier m_notifier;
    QAction* m_stateLine = nullptr;
    QAction* m_reconnect = nullptr;
    QAction* m_logOut = nullptr;
    std::optional<TrayLook> m_look;  // the look the icon was last drawn in
};

}  // namespace tgw::ui
