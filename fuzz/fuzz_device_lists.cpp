// What the device tools print, as the listing reads it (UTF-8): the lines of
// `adb devices -l` and of `idevice_id -l`. Every device found has an id and a
// state, every UDID is valid and listed once, and the presence lines and the
// "devices" result are built from them; the result is JSON that gives back
// each id, state and name as read (less a byte order mark at a text's start,
// which results have always dropped).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstddef>
#include <cstdint>

#include "app/devices/device_monitor.h"
#include "app/devices/device_tool_output.h"
#include "ui/phone_lines.h"

namespace {

QString withoutBom(QString text) {
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tgw::app;
    const QString output =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    std::vector<DeviceInfo> devices = parseAdbDevices(output);
    for (const DeviceInfo& d : devices) {
        if (d.id.isEmpty() || d.state.isEmpty()) __builtin_trap();
    }
    QStringList udids = parseIdeviceIds(output);
    for (const QString& udid : udids) {
        if (!isValidDeviceId(udid)) __builtin_trap();
        // A paired iPhone is named by its own answer: here, the whole output.
        devices.push_back({DeviceInfo::Platform::apple, udid, "paired", output});
    }
    if (udids.removeDuplicates() != 0) __builtin_trap();

    (void)tgw::ui::presenceLines({devices, {{"adb", ToolProblem::Kind::failed, output}}});
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(devicesResultJson(devices), &error);
    if (error.error != QJsonParseError::NoError) __builtin_trap();
    const QJsonArray list = doc.object().value("data").toArray();
    if (list.size() != qsizetype(devices.size())) __builtin_trap();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const DeviceInfo& d = devices[size_t(i)];
        const QJsonObject o = list[i].toObject();
        const bool apple = d.platform == DeviceInfo::Platform::apple;
        if (o.value(apple ? "udid" : "serial").toString() != withoutBom(d.id) ||
            o.value("state").toString() != withoutBom(d.state) ||
            o.value(apple ? "name" : "model").toString() != withoutBom(d.name))
            __builtin_trap();
    }
    return 0;
}
