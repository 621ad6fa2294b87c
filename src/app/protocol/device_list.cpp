#include "app/protocol/device_list.h"

#include "app/protocol/mqtt_api.h"

namespace tgw::app {

namespace {

QByteArray quoted(const QString& text) {
    return QByteArray::fromStdString(jsonString(text.toStdString()));
}

}  // namespace

QByteArray devicesDataJson(const std::vector<DeviceInfo>& devices) {
    QByteArray out = "[";
    for (const DeviceInfo& d : devices) {
        if (out.back() == '}') out += ',';
        if (d.platform == DeviceInfo::Platform::apple) {
            out += R"({"platform":"apple","udid":)" + quoted(d.id);
            if (!d.name.isEmpty()) out += R"(,"name":)" + quoted(d.name);
            out += R"(,"state":)" + quoted(d.state) + '}';
        } else {
            out += R"({"platform":"android","serial":)" + quoted(d.id) + R"(,"state":)" +
                   quoted(d.state);
            if (!d.name.isEmpty()) out += R"(,"model":)" + quoted(d.name);
            out += '}';
        }
    }
    return out + "]";
}

QByteArray devicesResultJson(const std::vector<DeviceInfo>& devices) {
    return R"({"type":"devices","data":)" + devicesDataJson(devices) + "}";
}

}  // namespace tgw::app
