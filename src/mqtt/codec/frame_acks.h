// The small outgoing packets that follow CONNECT: the four publish
// acknowledgements (PUBACK, PUBREC, PUBREL, PUBCOMP) and SUBSCRIBE and
// UNSUBSCRIBE with one topic filter each (MQTT 3.1.1 sections 3.4-3.8, 3.10).
// SUBSCRIBE and UNSUBSCRIBE live here too because, like the acknowledgements,
// each is a message id plus at most one short field: the frames the session
// writes directly, without the frame buffer.
#pragma once

#include <optional>
#include <string>

#include "mqtt/codec/frame.h"

namespace tgw::mqtt {

class MqttFramePubAck : public MqttFrame {
  public:
    // PUBREL gets header flags 0x02 as MQTT 3.1.1 section 3.6.1 requires.
    MqttFramePubAck(MqttFrameType type, uint16_t msgid) : MqttFrame(type), m_msgid(msgid) {
        if (type == MqttFrameType::pubrel) setQos(1);
    }
    const std::optional<uint16_t>& msgid() const { return m_msgid; }
    void setMsgid(std::optional<uint16_t> id) { m_msgid = id; }

  protected:
    bool pack(Bytes& variableHeader, std::optional<Bytes>& payload) const override {
        appendHlBytes(variableHeader, m_msgid.value_or(0));
        payload.emplace();
        return true;
    }

  private:
    std::optional<uint16_t> m_msgid;
};

class MqttFrameSubscribe : public MqttFrame {
  public:
    MqttFrameSubscribe(uint16_t msgid, std::string topic, uint8_t reqos)
        : MqttFrame(MqttFrameType::subscribe),
          m_msgid(msgid),
          m_topic(std::move(topic)),
          m_reqos(reqos) {
        setQos(1);
    }
    const std::optional<uint16_t>& msgid() const { return m_msgid; }
    void setMsgid(std::optional<uint16_t> id) { m_msgid = id; }
    const std::optional<std::string>& topic() const { return m_topic; }
    void setTopic(std::optional<std::string> t) { m_topic = std::move(t); }
    uint8_t reqos() const { return m_reqos; }
    void setReqos(uint8_t q) { m_reqos = q; }

  protected:
    bool pack(Bytes& variableHeader, std::optional<Bytes>& payload) const override {
        appendHlBytes(variableHeader, m_msgid.value_or(0));
        payload.emplace();
        if (!appendBytesWithLength(*payload, m_topic.value_or(std::string()))) return false;
        payload->push_back(m_reqos);
        return true;
    }

  private:
    std::optional<uint16_t> m_msgid;
    std::optional<std::string> m_topic;
    uint8_t m_reqos = 0;
};

class MqttFrameUnsubscribe : public MqttFrame {
  public:
    MqttFrameUnsubscribe(uint16_t msgid, std::string topic)
        : MqttFrame(MqttFrameType::unsubscribe), m_msgid(msgid), m_topic(std::move(topic)) {
        setQos(1);
    }
    const std::optional<uint16_t>& msgid() const { return m_msgid; }
    void setMsgid(std::optional<uint16_t> id) { m_msgid = id; }
    const std::optional<std::string>& topic() const { return m_topic; }
    void setTopic(std::optional<std::string> t) { m_topic = std::move(t); }

  protected:
    bool pack(Bytes& variableHeader, std::optional<Bytes>& payload) const override {
        appendHlBytes(variableHeader, m_msgid.value_or(0));
        payload.emplace();
        return appendBytesWithLength(*payload, m_topic.value_or(std::string()));
    }

  private:
    std::optional<uint16_t> m_msgid;
    std::optional<std::string> m_topic;
};

}  // namespace tgw::mqtt
