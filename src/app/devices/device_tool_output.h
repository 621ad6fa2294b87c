// What the device tools print, read into devices: the lines of `adb devices -l`
// and of `idevice_id -l`. Lines that are not a device (the list's header, the
// adb server's start-up messages, warnings) are skipped.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "app/devices/device_monitor.h"

namespace tgw::app {

// One device per line of the form "<serial> <state> [key:value ...]", where the
// state may be several words ("no permissions (...); see [...]"), read as
// "no permissions". The model is the "model:" value with underscores as blanks.
std::vector<DeviceInfo> parseAdbDevices(const QString& output);

// The UDIDs among the lines (the first word of each line that can name a
// device), each once, in order.
QStringList parseIdeviceIds(const QString& output);

}  // namespace tgw::app
