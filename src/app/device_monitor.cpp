#include "app/device_monitor.h"

#include <QRegularExpression>
#include <QTimer>

namespace tgw::app {

DeviceMonitor::DeviceMonitor(const process::Bundle* bundle, QObject* parent)
    : QObject(parent), m_bundle(bundle) {}

DeviceMonitor::~DeviceMonitor() = default;

void DeviceMonitor::refresh() {
    listDevices([this](const std::vector<DeviceInfo>& devices) {
        emit devicesChanged(presenceLines(devices));
    });
}

void DeviceMonitor::listDevices(std::function<void(const std::vector<DeviceInfo>&)> done) {
    QTimer::singleShot(0, this, [this, done = std::move(done)] { done(m_devices); });
}

QStringList DeviceMonitor::presenceLines(const std::vector<DeviceInfo>& devices) {
    if (devices.empty()) return {QStringLiteral("Geen telefoon aangesloten")};
    return {};
}

QJsonArray DeviceMonitor::toJson(const std::vector<DeviceInfo>&) {
    return {};
}

bool isValidDeviceId(const QString& value) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._:-]{1,64}$"));
    return pattern.match(value).hasMatch();
}

}  // namespace tgw::app
