#include "app/protocol/presence.h"

#include "app/protocol/mqtt_api.h"

namespace tgw::app {

Presence::Presence(std::string agentVersion, std::string host)
    : m_agentVersion(std::move(agentVersion)), m_host(std::move(host)) {}

mqtt::MqttWill Presence::will(const std::string& prefix) {
    mqtt::MqttWill will(topic(prefix), kOffline);
    will.setQos(mqtt::MqttQos::qos1);
    will.setRetained(true);
    return will;
}

std::string Presence::online() const {
    const std::string since = m_since.toUTC().toString(Qt::ISODate).toStdString();
    return R"({"type":"status","state":"online","agent":)" + jsonString(m_agentVersion) +
           R"(,"host":)" + jsonString(m_host) + R"(,"since":)" + jsonString(since) +
           R"(,"devices":)" + m_devices + "}";
}

bool Presence::setDevices(std::string devices) {
    if (devices == m_devices) return false;
    m_devices = std::move(devices);
    return true;
}

}  // namespace tgw::app
