// The attached phones as the protocol tells them: one value per phone, and the
// one writer of the list, used by the devices result, the presence status and
// --status alike.
#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

namespace tgw::app {

struct DeviceInfo {
    enum class Platform { android, apple };
    Platform platform = Platform::android;
    QString id;     // adb serial or iOS udid
    QString state;  // android: device|unauthorized|no permissions|offline; apple: paired|unpaired
    QString name;   // android: model (underscores as blanks); apple: device name; may be empty

    bool operator==(const DeviceInfo&) const = default;
};

// The whole devices result, compact, members in the protocol's order:
// {"type":"devices","data":[{"platform":"android","serial":..,"state":..,
// "model":..},{"platform":"apple","udid":..,"name":..,"state":..}]}; an empty
// model or name is left out.
QByteArray devicesResultJson(const std::vector<DeviceInfo>& devices);
// Its "data": the array alone.
QByteArray devicesDataJson(const std::vector<DeviceInfo>& devices);

}  // namespace tgw::app
