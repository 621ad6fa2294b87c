// DeviceMonitor: which phones are attached. Lists Android phones with
// `adb devices -l` and iPhones with `idevice_id -l` plus `ideviceinfo -k
// DeviceName`, through the process runner (never blocking the event loop),
// one listing at a time; requests that arrive meanwhile are coalesced into one
// more listing. Owned by the controller; lives on the main thread.
#pragma once

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "process/bundle.h"

namespace tgw::app {

struct DeviceInfo {
    enum class Platform { android, apple };
    Platform platform = Platform::android;
    QString id;     // adb serial or iOS udid
    QString state;  // android: device|unauthorized|no permissions|offline; apple: paired|unpaired
    QString name;   // android: model (underscores as blanks); apple: device name; may be empty
};

class DeviceMonitor : public QObject {
    Q_OBJECT
  public:
    // `bundle` holds the tools (the main bundle when none); it must outlive this.
    explicit DeviceMonitor(const process::Bundle* bundle = nullptr, QObject* parent = nullptr);
    ~DeviceMonitor() override;

    // Lists the devices again (coalesced while a listing runs); devicesChanged follows.
    void refresh();
    // Lists the devices now and calls `done` with them on the event loop.
    void listDevices(std::function<void(const std::vector<DeviceInfo>&)> done);
    // The last listing.
    const std::vector<DeviceInfo>& devices() const { return m_devices; }

    // The window's presence lines for `devices` ("Geen telefoon aangesloten" when none).
    static QStringList presenceLines(const std::vector<DeviceInfo>& devices);
    // The "data" array of a devices result.
    static QJsonArray toJson(const std::vector<DeviceInfo>& devices);

  signals:
    // After every listing, with the presence lines of what it found.
    void devicesChanged(const QStringList& presenceLines);

  private:
    const process::Bundle* m_bundle;
    std::vector<DeviceInfo> m_devices;
};

// True when `value` may name a device to the tools: [A-Za-z0-9._:-]{1,64}.
bool isValidDeviceId(const QString& value);

}  // namespace tgw::app
