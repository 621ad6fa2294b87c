#include "app/protocol/presence.h"

#include "app/protocol/mqtt_api.h"

namespace tgw::app {

Presence::Presence(std::string agentVersion, std::string host)
    : m_agentVersion(std::move(agentVersion)), m_host(std::move(host)) {}

std::string Presence::offline(OfflineReason reason) {
    const char* why = "lost";
    switch (reason) {
        case OfflineReason::quit: why = "quit"; break;
        case OfflineReason::logout: why = "logout"; break;
        case OfflineReason::switched: why = "switch"; break;
        case OfflineReason::lost: why = "lost"; break;
    }
    return std::string(R"({"type":"status","state":"offline","reason":")") + why + "\"}";
}

mqtt::MqttWill Presence::will(const std::string& prefix) {
    mqtt::MqttWill will(topic(prefix), offline(OfflineReason::lost));
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
