#include "mqtt/codec/frame_publish.h"

namespace tgw::mqtt {

bool MqttFramePublish::pack(Bytes& variableHeader, std::optional<Bytes>&) const {
    variableHeader.reserve(2 + (m_topic ? m_topic->size() : 0) + 2);
    if (!appendBytesWithLength(variableHeader, m_topic.value_or(std::string()))) return false;
    if (qos() > 0) appendHlBytes(variableHeader, m_msgid.value_or(0));
    return true;  // the payload is the payload field
}

}  // namespace tgw::mqtt
