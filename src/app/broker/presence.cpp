#include "app/broker/presence.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace tgw::app {

namespace {

// `text` as a JSON string, escaped as Qt's JSON writer does.
std::string jsonString(const std::string& text) {
    const QByteArray array =
        QJsonDocument(QJsonArray{QString::fromStdString(text)}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2).toStdString();
}

}  // namespace

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
