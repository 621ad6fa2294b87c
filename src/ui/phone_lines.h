// The phones' lines the window and the tray show, worded from what the device
// monitor found.
#pragma once

#include <QString>
#include <QStringList>

#include "app/devices/device_monitor.h"

namespace tgw::ui {

// One line per phone, at most eight, then "+N" for the rest ("Geen telefoon
// aangesloten" when there is none); then one line per tool that could not be
// asked. An untrusted iPhone that the agent asks to pair says where to tap.
QStringList presenceLines(const app::DevicePresence& presence);

}  // namespace tgw::ui
