#include "app/identity/android_readers.h"

#include <QRegularExpression>
#include <algorithm>

namespace tgw::app {

namespace {

const QString kNoValue = QStringLiteral("the phone does not tell %1");

// Sets `target` from the property, or names `member` as unread.
void take(const QMap<QString, QString>& props, const char* key, const char* member,
          std::optional<QString>& target, PhoneIdentity& identity) {
    const QString value = props.value(QLatin1String(key)).trimmed();
    if (!value.isEmpty()) {
        target = value;
        identity.unread.remove(QLatin1String(member));
    } else {
        identity.unread.insert(QLatin1String(member), kNoValue.arg(QLatin1String(key)));
    }
}

// The number a "  key: value" line of the dump gives, found by any of `keys`
// (compared without case), with its unit word when one follows.
struct DumpValue {
    qint64 number = 0;
    QString unit;
};

std::optional<DumpValue> dumpValue(const QMap<QString, QString>& lines,
                                   std::initializer_list<const char*> keys) {
    static const QRegularExpression numberAndUnit(QStringLiteral("^(-?\\d+)\\s*([A-Za-z]*)"));
    for (const char* key : keys) {
        const auto it = lines.constFind(QString::fromLatin1(key).toLower());
        if (it == lines.cend()) continue;
        const QRegularExpressionMatch m = numberAndUnit.match(it.value());
        if (!m.hasMatch()) continue;
        return DumpValue{m.captured(1).toLongLong(), m.captured(2).toLower()};
    }
    return std::nullopt;
}

// A capacity in mAh: the unit when given, else a number no phone battery
// reaches in mAh (100 Ah) is taken to be uAh, as the health HAL reports them.
std::optional<int> milliampHours(const std::optional<DumpValue>& v) {
    if (!v || v->number <= 0) return std::nullopt;
    const bool micro =
        v->unit == QLatin1String("uah") || (v->unit != QLatin1String("mah") && v->number >= 100000);
    return static_cast<int>(micro ? (v->number + 500) / 1000 : v->number);
}

}  // namespace

QMap<QString, QString> parseGetprop(const QString& output) {
    static const QRegularExpression start(QStringLiteral("^\\[([^\\]]+)\\]: \\[(.*)$"));
    QMap<QString, QString> props;
    QString key;
    QString value;
    bool open = false;  // `value` still waits for its closing bracket
    for (QString line : output.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
        if (open) {
            value += QLatin1Char('\n') + line;
        } else if (const QRegularExpressionMatch m = start.match(line); m.hasMatch()) {
            key = m.captured(1);
            value = m.captured(2);
        } else {
            continue;
        }
        open = !value.endsWith(QLatin1Char(']'));
        if (!open) {
            value.chop(1);
            props.insert(key, value);
        }
    }
    return props;
}

std::optional<int> sdkLevel(const QMap<QString, QString>& props) {
    bool ok = false;
    const int sdk = props.value(QStringLiteral("ro.build.version.sdk")).trimmed().toInt(&ok);
    return ok && sdk > 0 ? std::optional<int>(sdk) : std::nullopt;
}

std::optional<int> simSlots(const QMap<QString, QString>& props) {
    bool ok = false;
    const int count = props.value(QStringLiteral("ro.telephony.sim.count")).toInt(&ok);
    if (ok && count > 0) return count;
    const QString mode = props.value(QStringLiteral("persist.radio.multisim.config")).toLower();
    if (mode == QLatin1String("ssss")) return 1;
    if (mode == QLatin1String("dsds") || mode == QLatin1String("dsda")) return 2;
    if (mode == QLatin1String("tsts")) return 3;
    return std::nullopt;
}

QString toolText(const QString& output) {
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        const QString text = line.trimmed();
        if (text.isEmpty() || text == QLatin1String("<DONE>")) continue;
        return text.size() > 300 ? text.left(300) + QStringLiteral("...") : text;
    }
    return QStringLiteral("the tool printed nothing");
}

std::optional<int> percentOf(qint64 part, qint64 whole) {
    if (whole <= 0 || part < 0) return std::nullopt;
    const qint64 rounded = (part * 200 + whole) / (2 * whole);
    return static_cast<int>(std::min<qint64>(rounded, 100));
}

void readAndroidProperties(const QString& getpropOutput, PhoneIdentity& identity) {
    const QMap<QString, QString> props = parseGetprop(getpropOutput);
    if (props.isEmpty()) {
        const QString reason =
            QStringLiteral("getprop gave no properties: ") + toolText(getpropOutput);
        for (const char* member : {"model", "manufacturer", "os_version", "serial_number"})
            identity.unread.insert(QLatin1String(member), reason);
        return;
    }
    take(props, "ro.product.model", "model", identity.model, identity);
    take(props, "ro.product.manufacturer", "manufacturer", identity.manufacturer, identity);
    take(props, "ro.build.version.release", "os_version", identity.osVersion, identity);
    take(props, "ro.serialno", "serial_number", identity.serialNumber, identity);
}

void readAndroidBattery(const QString& dumpsysOutput, PhoneIdentity& identity) {
    PhoneBattery& battery = identity.battery;
    if (!dumpsysOutput.contains(QLatin1String("Current Battery Service state:"))) {
        identity.unread.insert(
            QStringLiteral("battery"),
            QStringLiteral("dumpsys battery gave no battery state: ") + toolText(dumpsysOutput));
        return;
    }
    QMap<QString, QString> lines;  // key in lower case -> value
    for (const QString& line : dumpsysOutput.split(QLatin1Char('\n'))) {
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0) continue;
        const QString key = line.left(colon).trimmed().toLower();
        if (!lines.contains(key)) lines.insert(key, line.mid(colon + 1).trimmed());
    }
    auto unread = [&](const char* member, const QString& reason) {
        identity.unread.insert(QLatin1String(member), reason);
    };
    const QString notTold = QStringLiteral("dumpsys battery on this phone does not tell it");

    const auto level = dumpValue(lines, {"level"});
    const auto scale = dumpValue(lines, {"scale"});
    battery.levelPercent =
        level ? percentOf(level->number, scale ? scale->number : 100) : std::nullopt;
    if (!battery.levelPercent) unread("level_percent", notTold);

    if (const auto status = dumpValue(lines, {"status"}); status && status->number != 1) {
        battery.charging = status->number == 2;  // BATTERY_STATUS_CHARGING
    } else {
        unread("charging", status ? QStringLiteral("the battery's status is unknown") : notTold);
    }

    const auto cycles = dumpValue(lines, {"cycle count", "battery cycle count", "cycle_count"});
    if (cycles && cycles->number >= 0)
        battery.cycleCount = static_cast<int>(cycles->number);
    else
        unread("cycle_count", notTold);

    battery.fullChargeCapacityMah = milliampHours(
        dumpValue(lines, {"full charge", "full charge capacity", "battery full charge"}));
    if (!battery.fullChargeCapacityMah) unread("full_charge_capacity_mah", notTold);
    battery.designCapacityMah = milliampHours(
        dumpValue(lines, {"full design", "design capacity", "full charge design capacity"}));
    if (!battery.designCapacityMah) unread("design_capacity_mah", notTold);

    if (battery.fullChargeCapacityMah && battery.designCapacityMah) {
        battery.healthPercent =
            percentOf(*battery.fullChargeCapacityMah, *battery.designCapacityMah);
    } else {
        unread("health_percent",
               QStringLiteral("needs the full-charge and the design capacity, which this phone's "
                              "dumpsys battery does not both tell"));
    }
}

}  // namespace tgw::app
