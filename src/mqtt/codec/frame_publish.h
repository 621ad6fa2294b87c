// MqttFramePublish: a PUBLISH packet (MQTT 3.1.1 section 3.3), packed for
// sending or cut apart by unpack() when received.
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
    // For a received packet: the header byte and the bytes after the fixed header.
    MqttFramePublish(uint8_t header, Bytes data) : MqttFrame(header), m_data(std::move(data)) {}

    const std::optional<uint16_t>& msgid() const { return m_msgid; }
    void setMsgid(std::optional<uint16_t> id) { m_msgid = id; }
    const std::optional<std::string>& topic() const { return m_topic; }
    void setTopic(std::optional<std::string> t) { m_topic = std::move(t); }
    // The received bytes after the fixed header (data() is the wire encoding).
    const std::optional<Bytes>& receivedData() const { return m_data; }
    void setReceivedData(std::optional<Bytes> d) { m_data = std::move(d); }

    // Cuts the received data into topic, message id and payload. False on
    // short or inconsistent data (a zero-length topic included), with msgid
    // left unset; a topic that is not valid UTF-8 leaves topic unset. Logs
    // nothing: the reader says what it does with such a packet.
    bool unpack();

  protected:
    bool pack(Bytes& variableHeader, std::optional<Bytes>& payload) const override;

  private:
    std::optional<uint16_t> m_msgid;
    std::optional<std::string> m_topic;
    std::optional<Bytes> m_data;
};

}  // namespace tgw::mqtt
