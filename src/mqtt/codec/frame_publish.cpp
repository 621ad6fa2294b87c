#include "mqtt/codec/frame_publish.h"

namespace tgw::mqtt {

bool MqttFramePublish::pack(Bytes& variableHeader, std::optional<Bytes>&) const {
    variableHeader.reserve(2 + (m_topic ? m_topic->size() : 0) + 2);
    return appendVariableHeader(variableHeader);  // the payload is the payload field
}

bool MqttFramePublish::appendVariableHeader(Bytes& out) const {
    if (!appendBytesWithLength(out, m_topic ? std::string_view(*m_topic) : std::string_view()))
        return false;
    if (qos() > 0) appendHlBytes(out, m_msgid.value_or(0));
    return true;
}

}  // namespace tgw::mqtt
