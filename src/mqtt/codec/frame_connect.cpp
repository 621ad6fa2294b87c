#include "mqtt/codec/frame_connect.h"

namespace tgw::mqtt {

uint8_t MqttFrameConnect::flags() const {
    uint8_t f = 0;
    if (const auto will = m_client->willMessage()) {
        f |= 0x04;
        f |= static_cast<uint8_t>((static_cast<uint8_t>(will->qos()) & 3) << 3);
        f |= static_cast<uint8_t>(bit(will->retained()) << 5);
    }
    if (m_client->username()) f |= 0x80;
    if (m_client->password()) f |= 0x40;
    f |= static_cast<uint8_t>(bit(m_client->cleanSession()) << 1);
    return f;
}

bool MqttFrameConnect::pack(Bytes& variableHeader, std::optional<Bytes>& payload) const {
    appendBytesWithLength(variableHeader, PROTOCOL_MAGIC);
    variableHeader.push_back(PROTOCOL_LEVEL);
    variableHeader.push_back(flags());
    appendHlBytes(variableHeader, m_client->keepAlive());
    Bytes& out = payload.emplace();
    if (!appendBytesWithLength(out, m_client->clientID())) return false;
    if (const auto will = m_client->willMessage()) {
        if (!appendBytesWithLength(out, will->topic())) return false;
        out.insert(out.end(), will->payload().begin(), will->payload().end());
    }
    if (const auto username = m_client->username()) {
        if (!appendBytesWithLength(out, *username)) return false;
    }
    if (const auto password = m_client->password()) {
        if (!appendBytesWithLength(out, *password)) return false;
    }
    return true;
}

}  // namespace tgw::mqtt
