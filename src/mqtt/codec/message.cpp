#include "mqtt/codec/message.h"

namespace tgw::mqtt {

std::optional<MqttQos> qosFromRaw(uint8_t raw) {
    if (raw > 2) return std::nullopt;
    return static_cast<MqttQos>(raw);
}

MqttMessage::MqttMessage(std::string topic, std::string_view string, MqttQos qos, bool retained,
                         bool dup)
    : m_qos(qos),
      m_dup(dup),
      m_topic(std::move(topic)),
      m_payload(toBytes(string)),
      m_retained(retained) {}

MqttMessage::MqttMessage(std::string topic, Bytes payload, MqttQos qos, bool retained, bool dup)
    : m_qos(qos),
      m_dup(dup),
      m_topic(std::move(topic)),
      m_payload(std::move(payload)),
      m_retained(retained) {}

std::optional<std::string> MqttMessage::string() const {
    if (!isValidUtf8(m_payload)) return std::nullopt;
    return toString(m_payload);
}

}  // namespace tgw::mqtt
