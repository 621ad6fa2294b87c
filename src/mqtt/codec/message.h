// The values that cross between the MQTT client and its owner: the QoS level,
// an application message (published or received) and the last-will message.
#pragma once

#include <stdexcept>

#include <cstdint>
#include <optional>
#include <string>

#include "mqtt/codec/bytes.h"

namespace tgw::mqtt {

enum class MqttQos : uint8_t { qos0 = 0, qos1 = 1, qos2 = 2 };

// The QoS for a raw value, or none for anything but 0, 1 and 2.
std::optional<MqttQos> qosFromRaw(uint8_t raw);

class MqttMessage {
  public:
    // The payload is the UTF-8 bytes of `string`, with no prefix or terminator.
    MqttMessage(std::string topic, std::string_view string, MqttQos qos = MqttQos::qos1,
                bool retained = false, bool dup = false);
    MqttMessage(std::string topic, Bytes payload, MqttQos qos = MqttQos::qos1,
                bool retained = false, bool dup = false);
    virtual ~MqttMessage() = default;
    MqttMessage(const MqttMessage&) = default;
    MqttMessage& operator=(const MqttMessage&) = default;

    MqttQos qos() const { return m_qos; }
    void setQos(MqttQos q) { m_qos = q; }
    bool dup() const { return m_dup; }
    void setDup(bool d) { m_dup = d; }
    const std::string& topic() const { return m_topic; }
    void setTopic(std::string t) { m_topic = std::move(t); }
    const Bytes& payload() const { return m_payload; }
    void setPayload(Bytes p) { m_payload = std::move(p); }
    bool retained() const { return m_retained; }
    void setRetained(bool r) { m_retained = r; }

    // The payload as text; none when it is not valid UTF-8.
    std::optional<std::string> string() const;

  protected:
    struct WillTag {};
    MqttMessage(WillTag, std::string topic, Bytes payload)
        : m_topic(std::move(topic)), m_payload(std::move(payload)) {}

  private:
    MqttQos m_qos = MqttQos::qos1;
    bool m_dup = false;
    std::string m_topic;
    Bytes m_payload;
    bool m_retained = false;
};

// A last-will message. Its payload keeps the two-byte length prefix of the
// message text, so that CONNECT can append it unchanged as the Will Message.
// A constructor has no result to refuse with: a message over 65,535 bytes
// throws std::length_error.
class MqttWill : public MqttMessage {
  public:
    MqttWill(std::string topic, std::string_view message)
        : MqttMessage(WillTag{}, std::move(topic), prefixed(message)) {}

  private:
    static Bytes prefixed(std::string_view message) {
        auto bytes = bytesWithLength(message);
        if (!bytes) throw std::length_error("will message longer than 65535 bytes");
        return std::move(*bytes);
    }
};

}  // namespace tgw::mqtt
