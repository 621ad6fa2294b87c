// Readers of what an iPhone tells through the device tools: the XML property
// list of `ideviceinfo -x` and the AppleSmartBattery registry entry printed by
// `idevicediagnostics ioregentry AppleSmartBattery`. Pure functions over text.
#pragma once

#include <QString>
#include <QVariantMap>
#include <optional>

#include "app/identity/phone_identity.h"

namespace tgw::app {

// The top-level <dict> of an XML property list (nested dicts as QVariantMap,
// arrays as QVariantList, integer as qint64, real as double, true/false as
// bool, data as QByteArray, string and date as QString); text before the XML
// (a tool's messages) is skipped. None, with the reason, if there is no dict.
std::optional<QVariantMap> readPlistDict(const QString& text, QString* error = nullptr);

// manufacturer "Apple", model (ProductType), os_version (ProductVersion),
// serial_number (SerialNumber) and imei (InternationalMobileEquipmentIdentity,
// then ...2, each only when it is a valid IMEI); each missing one in `unread`.
void readAppleInfo(const QString& ideviceinfoOutput, PhoneIdentity& identity);

// From the entry's IORegistry dict (or the top-level dict): cycle_count
// (CycleCount), design_capacity_mah (DesignCapacity), full_charge_capacity_mah
// (NominalChargeCapacity, else AppleRawMaxCapacity), level_percent
// (CurrentCapacity * 100 / MaxCapacity), charging (IsCharging) and
// health_percent = full charge * 100 / design, rounded half up, capped at 100.
void readAppleBattery(const QString& ioregOutput, PhoneIdentity& identity);

}  // namespace tgw::app
