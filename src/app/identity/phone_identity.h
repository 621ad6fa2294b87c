// PhoneIdentity: what a phone tells of itself (model, versions, serials, IMEIs,
// battery), filled by the readers of the tools' text, and the one writer of
// the "identity" result. A member a reader could not fill is named in `unread`
// with the reason in words, so the web service can tell "absent" from "failed".
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>

namespace tgw::app {

struct PhoneBattery {
    std::optional<int> levelPercent;
    std::optional<int> healthPercent;
    std::optional<int> cycleCount;
    std::optional<int> designCapacityMah;
    std::optional<int> fullChargeCapacityMah;
    std::optional<bool> charging;
};

struct PhoneIdentity {
    enum class Platform { android, apple };

    Platform platform = Platform::android;
    // The adb serial (android) or the UDID (apple) the phone was reached by.
    QString id;
    QString state;
    // The command's "id", carried back on its results; written right after "type".
    std::optional<QString> requestId;
    std::optional<QString> model;
    std::optional<QString> manufacturer;
    std::optional<QString> osVersion;
    std::optional<QString> serialNumber;
    // 15-digit, Luhn-checked IMEIs, one per SIM slot read, in slot order.
    QStringList imei;
    PhoneBattery battery;
    // Member name ("model", "imei", "cycle_count", ...) -> why it could not be read.
    QMap<QString, QString> unread;
};

// Compact JSON: type, id (when set), platform, serial|udid, state, then the
// members that are known in the order of the struct, battery as an object
// (only with a member known), unread last (only when not empty).
std::string writeIdentity(const PhoneIdentity& identity);

}  // namespace tgw::app
