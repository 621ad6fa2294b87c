// Readers of what an Android phone prints about itself through adb shell:
// the property listing of `getprop` and the battery state of `dumpsys battery`.
// Pure functions over the text; running the tools is the caller's.
#pragma once

#include <QMap>
#include <QString>
#include <optional>

#include "app/identity/phone_identity.h"

namespace tgw::app {

// The "[key]: [value]" lines of getprop; a value may span lines (a property
// holding line feeds), up to its closing "]". Lines that start no property and
// continue none (adb's messages, the end marker) are skipped.
QMap<QString, QString> parseGetprop(const QString& output);

// ro.build.version.sdk as a number, when it is one.
std::optional<int> sdkLevel(const QMap<QString, QString>& props);

// The SIM slots the phone says it has (ro.telephony.sim.count, else the
// persist.radio.multisim.config mode: ssss 1, dsds/dsda 2, tsts 3), else none.
std::optional<int> simSlots(const QMap<QString, QString>& props);

// model, manufacturer, os_version and serial_number from getprop's output;
// each one missing is named in `unread` (with adb's own text when getprop
// gave no properties at all).
void readAndroidProperties(const QString& getpropOutput, PhoneIdentity& identity);

// The battery members `dumpsys battery` tells: level_percent (level * 100 /
// scale, rounded), charging (status 2), and, where a release or maker adds
// them, cycle_count and the full-charge and design capacities (in uAh when the
// number is that large, else mAh), with health_percent = full / design.
void readAndroidBattery(const QString& dumpsysOutput, PhoneIdentity& identity);

// The first line of a tool's text that says something, cut to a readable length.
QString toolText(const QString& output);

// `part` * 100 / `whole`, rounded half up, capped at 100; none when whole <= 0.
std::optional<int> percentOf(qint64 part, qint64 whole);

}  // namespace tgw::app
