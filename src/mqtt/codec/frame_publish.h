// MqttFramePublish: a PUBLISH packet (MQTT 3.1.1 section 3.3), packed for
// sending (a received one is read by decodePublish in decode.h).
#pragma once

#include <optional>
#include <string>

#include "mqtt/codec/frame.h"

namespace tgw::mqtt {

class MqttFramePublish : public MqttFrame {
  public:
    // For sending: header 0x30; the caller sets qos, retained and dup next.
    MqttFramePublish(uint16_t msgid, std::string topic, Bytes payload)
        : MqttFrame(MqttFrameType::publish, std::move(payload)),
          m_msgid(msgid),
          m_topic(std::move(topic)) {}
    const std::optional<uint16_t>& msgid() const { return m_msgid; }
    void setMsgid(std::optional<uint16_t> id) { m_msgid = id; }
    const std::optional<std::string>& topic() const { return m_topic; }
    void setTopic(std::optional<std::string> t) { m_topic = std::move(t); }

  protected:
    bool pack(Bytes& variableHeader, std::optional<Bytes>& payload) const override;
    bool appendVariableHeader(Bytes& out) const override;

  private:
    std::optional<uint16_t> m_msgid;
    std::optional<std::string> m_topic;
};

}  // namespace tgw::mqtt
