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

    // The connect-flags byte for the client's settings as they are now
    // (bit 0 is reserved and never set).
    uint8_t flags() const;
    bool flagUsername() const { return ((flags() >> 7) & 1) != 0; }
    bool flagPassword() const { return ((flags() >> 6) & 1) != 0; }
    bool flagWillRetain() const { return ((flags() >> 5) & 1) != 0; }
    uint8_t flagWillQOS() const { return (flags() >> 3) & 3; }
    bool flagWill() const { return ((flags() >> 2) & 1) != 0; }
    bool flagCleanSession() const { return ((flags() >> 1) & 1) != 0; }

    const MqttClient& client() const { return *m_client; }
    void setClient(const MqttClient& client) { m_client = &client; }

  protected:
    bool pack(Bytes& variableHeader, std::optional<Bytes>& payload) const override;

  private:
    const MqttClient* m_client;
};

}  // namespace tgw::mqtt
