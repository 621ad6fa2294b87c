// Tray: the agent's icon in the desktop's system tray. Its look follows the
// window's state (connected, busy, needs the technician), its tooltip names
// the state, the account and the phones; a left click shows or hides the
// window; its menu shows the window, logs out or quits. The window's
// notifications appear as the tray's messages.
//
// Owned by the program next to the window, which must outlive it.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <optional>

#include "ui/view_controller.h"

namespace tgw::ui {

// "TGW Mobile Tool - <state> - <e-mail> - <phones>", without the parts that are empty.
QString trayToolTip(const QString& status, const QString& email, const QStringList& phones);

// The program's icon with a badge in the colour of `look`.
QIcon trayIcon(TrayLook look);

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

  private:
    void update();

    ViewController& m_window;
    QMenu m_menu;
    QSystemTrayIcon m_icon;
    std::optional<TrayLook> m_look;  // the look the icon was last drawn in
};

}  // namespace tgw::ui
