#include "mqtt/codec/frame_connect.h"

namespace tgw::mqtt {

void MqttFrameConnect::pack() {
    appendBytesWithLength(m_variableHeader, PROTOCOL_MAGIC);
    m_variableHeader.push_back(PROTOCOL_LEVEL);
    appendBytesWithLength(m_payload, m_client->clientID());
    if (const auto will = m_client->willMessage()) {
        setFlagWill(true);
        setFlagWillQOS(static_cast<uint8_t>(will->qos()));
        setFlagWillRetain(will->retained());
        appendBytesWithLength(m_payload, will->topic());
        m_payload.insert(m_payload.end(), will->payload().begin(), will->payload().end());
    }
    if (const auto username = m_client->username()) {
        setFlagUsername(true);
        appendBytesWithLength(m_payload, *username);
    }
    if (const auto password = m_client->password()) {
        setFlagPassword(true);
        appendBytesWithLength(m_payload, *password);
    }
    setFlagCleanSession(m_client->cleanSession());
    m_variableHeader.push_back(m_flags);
    appendHlBytes(m_variableHeader, m_client->keepAlive());
}

}  // namespace tgw::mqtt
