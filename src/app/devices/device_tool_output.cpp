#include "app/devices/device_tool_output.h"

#include <QRegularExpression>

namespace tgw::app {

namespace {

// The states adb gives a device; a line whose second word is none of these is
// a message, not a device.
bool isAdbState(const QString& word) {
    static const QStringList states = {
        QStringLiteral("device"),     QStringLiteral("unauthorized"), QStringLiteral("offline"),
        QStringLiteral("no"),         QStringLiteral("authorizing"),  QStringLiteral("connecting"),
        QStringLiteral("bootloader"), QStringLiteral("recovery"),     QStringLiteral("sideload"),
        QStringLiteral("rescue"),     QStringLiteral("host"),         QStringLiteral("unknown"),
        QStringLiteral("detached")};
    return states.contains(word);
}

}  // namespace

std::vector<DeviceInfo> parseAdbDevices(const QString& output) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    std::vector<DeviceInfo> devices;
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        const QStringList words = line.trimmed().split(blanks, Qt::SkipEmptyParts);
        if (words.size() < 2 || !isAdbState(words[1])) continue;
        DeviceInfo device;
        device.platform = DeviceInfo::Platform::android;
        device.id = words[0];
        if (words[1] == QLatin1String("no")) {
            if (words.size() < 3 || !words[2].startsWith(QLatin1String("permissions"))) continue;
            device.state = QStringLiteral("no permissions");
        } else {
            device.state = words[1];
        }
        for (const QString& word : words.mid(2)) {
            if (word.startsWith(QLatin1String("model:"))) {
                device.name = word.mid(6).replace(QLatin1Char('_'), QLatin1Char(' '));
            }
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

QStringList parseIdeviceIds(const QString& output) {
    QStringList udids;
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        const QString udid = line.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
        if (udid.isEmpty() || udid.startsWith(QLatin1String("ERROR")) || !isValidDeviceId(udid))
            continue;
        if (!udids.contains(udid)) udids << udid;
    }
    return udids;
}

}  // namespace tgw::app
