#include "app/identity/apple_readers.h"

#include <QVariantList>
#include <QXmlStreamReader>
#include <limits>

#include "app/identity/android_readers.h"
#include "app/identity/imei_reader.h"

namespace tgw::app {

namespace {

// Reads the value whose start element the reader is on; leaves it past its end.
QVariant readValue(QXmlStreamReader& xml, int depth = 0) {
    const QString kind = xml.name().toString();
    if (depth > 64) {
        xml.raiseError(QStringLiteral("the property list nests too deep"));
        return {};
    }
    if (kind == QLatin1String("dict")) {
        QVariantMap map;
        QString key;
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("key"))
                key = xml.readElementText();
            else
                map.insert(key, readValue(xml, depth + 1));
        }
        return map;
    }
    if (kind == QLatin1String("array")) {
        QVariantList list;
        while (xml.readNextStartElement()) list << readValue(xml, depth + 1);
        return list;
    }
    if (kind == QLatin1String("true") || kind == QLatin1String("false")) {
        xml.skipCurrentElement();
        return kind == QLatin1String("true");
    }
    const QString text = xml.readElementText();
    if (kind == QLatin1String("integer")) return text.trimmed().toLongLong();
    if (kind == QLatin1String("real")) return text.trimmed().toDouble();
    if (kind == QLatin1String("data")) return QByteArray::fromBase64(text.toLatin1());
    return text;
}

std::optional<int> integer(const QVariantMap& map, const char* key) {
    const QVariant v = map.value(QLatin1String(key));
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    if (!v.isValid() || !ok || n < 0 || n > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(n);
}

}  // namespace

std::optional<QVariantMap> readPlistDict(const QString& text, QString* error) {
    if (!text.contains(QLatin1String("<dict"))) {
        if (error) *error = QStringLiteral("no property list: ") + toolText(text);
        return std::nullopt;
    }
    const qsizetype start = text.indexOf(QLatin1String("<?xml"));
    QXmlStreamReader xml(start >= 0 ? text.mid(start) : text);
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("plist")) continue;
        if (xml.name() != QLatin1String("dict")) break;
        const QVariantMap map = readValue(xml).toMap();
        if (!xml.hasError()) return map;
        break;
    }
    if (error) {
        *error = xml.hasError()
                     ? QStringLiteral("the property list is malformed: ") + xml.errorString()
                     : QStringLiteral("the property list holds no dict");
    }
    return std::nullopt;
}

void readAppleInfo(const QString& ideviceinfoOutput, PhoneIdentity& identity) {
    QString error;
    const auto info = readPlistDict(ideviceinfoOutput, &error);
    if (!info) {
        for (const char* member : {"model", "os_version", "serial_number", "imei"})
            identity.unread.insert(QLatin1String(member), QStringLiteral("ideviceinfo: ") + error);
        return;
    }
    auto take = [&](const char* key, const char* member, std::optional<QString>& target) {
        const QString value = info->value(QLatin1String(key)).toString().trimmed();
        if (value.isEmpty()) {
            identity.unread.insert(
                QLatin1String(member),
                QStringLiteral("the phone does not tell %1").arg(QLatin1String(key)));
        } else {
            target = value;
            identity.unread.remove(QLatin1String(member));
        }
    };
    identity.manufacturer = QStringLiteral("Apple");
    take("ProductType", "model", identity.model);
    take("ProductVersion", "os_version", identity.osVersion);
    take("SerialNumber", "serial_number", identity.serialNumber);
    identity.imei.clear();
    for (const char* key :
         {"InternationalMobileEquipmentIdentity", "InternationalMobileEquipmentIdentity2"}) {
        const QString imei = info->value(QLatin1String(key)).toString().trimmed();
        if (isImei(imei) && !identity.imei.contains(imei)) identity.imei << imei;
    }
    if (identity.imei.isEmpty()) {
        identity.unread.insert(QStringLiteral("imei"),
                               QStringLiteral("the phone tells no valid IMEI (a model without "
                                              "cellular, or not yet activated)"));
    }
}

void readAppleBattery(const QString& ioregOutput, PhoneIdentity& identity) {
    QString error;
    const auto reply = readPlistDict(ioregOutput, &error);
    if (!reply) {
        identity.unread.insert(QStringLiteral("battery"),
                               QStringLiteral("idevicediagnostics: ") + error);
        return;
    }
    const QVariant inner = reply->value(QStringLiteral("IORegistry"));
    const QVariantMap entry = inner.typeId() == QMetaType::QVariantMap ? inner.toMap() : *reply;
    PhoneBattery& b = identity.battery;
    auto check = [&](const char* member, bool known, const char* keys) {
        if (!known) {
            identity.unread.insert(
                QLatin1String(member),
                QStringLiteral("the battery entry does not tell %1").arg(QLatin1String(keys)));
        }
    };
    b.cycleCount = integer(entry, "CycleCount");
    check("cycle_count", b.cycleCount.has_value(), "CycleCount");
    b.designCapacityMah = integer(entry, "DesignCapacity");
    check("design_capacity_mah", b.designCapacityMah.has_value(), "DesignCapacity");
    b.fullChargeCapacityMah = integer(entry, "NominalChargeCapacity");
    if (!b.fullChargeCapacityMah) b.fullChargeCapacityMah = integer(entry, "AppleRawMaxCapacity");
    check("full_charge_capacity_mah", b.fullChargeCapacityMah.has_value(),
          "NominalChargeCapacity or AppleRawMaxCapacity");
    const auto current = integer(entry, "CurrentCapacity");
    const auto max = integer(entry, "MaxCapacity");
    if (current && max) b.levelPercent = percentOf(*current, *max);
    check("level_percent", b.levelPercent.has_value(), "CurrentCapacity and MaxCapacity");
    const QVariant charging = entry.value(QStringLiteral("IsCharging"));
    if (charging.typeId() == QMetaType::Bool) b.charging = charging.toBool();
    check("charging", b.charging.has_value(), "IsCharging");
    if (b.fullChargeCapacityMah && b.designCapacityMah)
        b.healthPercent = percentOf(*b.fullChargeCapacityMah, *b.designCapacityMah);
    check("health_percent", b.healthPercent.has_value(), "a full-charge and a design capacity");
}

}  // namespace tgw::app
