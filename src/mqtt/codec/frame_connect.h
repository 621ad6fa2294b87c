// MqttFrameConnect: the CONNECT packet (MQTT 3.1.1 section 3.1), built from the
// client's settings at the moment it is packed.
#pragma once

#include "mqtt/codec/client.h"
#include "mqtt/codec/frame.h"

namespace tgw::mqtt {

class MqttFrameConnect : public MqttFrame {
  public:
    static constexpr uint8_t PROTOCOL_LEVEL = 4;
    static constexpr const char* PROTOCOL_VERSION = "MQTT/3.1.1";
    static constexpr const char* PROTOCOL_MAGIC = "MQTT";

    // `client` must outlive the frame.
    explicit MqttFrameConnect(const MqttClient& client)
        : MqttFrame(MqttFrameType::connect), m_client(&client) {}

    uint8_t flags() const { return m_flags; }
    void setFlags(uint8_t f) { m_flags = f; }
    // Flag writers only OR bits in; each is written once on a zero byte.
    bool flagUsername() const { return ((m_flags >> 7) & 1) != 0; }
    void setFlagUsername(bool v) { m_flags |= static_cast<uint8_t>(bit(v) << 7); }
    bool flagPassword() const { return ((m_flags >> 6) & 1) != 0; }
    void setFlagPassword(bool v) { m_flags |= static_cast<uint8_t>(bit(v) << 6); }
    bool flagWillRetain() const { return ((m_flags >> 5) & 1) != 0; }
    void setFlagWillRetain(bool v) { m_flags |= static_cast<uint8_t>(bit(v) << 5); }
    uint8_t flagWillQOS() const { return (m_flags >> 3) & 3; }
    void setFlagWillQOS(uint8_t v) { m_flags |= static_cast<uint8_t>(v << 3); }
    bool flagWill() const { return ((m_flags >> 2) & 1) != 0; }
    void setFlagWill(bool v) { m_flags |= static_cast<uint8_t>(bit(v) << 2); }
    bool flagCleanSession() const { return ((m_flags >> 1) & 1) != 0; }
    void setFlagCleanSession(bool v) { m_flags |= static_cast<uint8_t>(bit(v) << 1); }

    const MqttClient& client() const { return *m_client; }
    void setClient(const MqttClient& client) { m_client = &client; }

  protected:
    void pack() override;

  private:
    uint8_t m_flags = 0;
    const MqttClient* m_client;
};

}  // namespace tgw::mqtt
