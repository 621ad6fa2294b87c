#include "mqtt/codec/frame_publish.h"

namespace tgw::mqtt {

bool MqttFramePublish::pack(Bytes& variableHeader, std::optional<Bytes>&) const {
    variableHeader.reserve(2 + (m_topic ? m_topic->size() : 0) + 2);
    if (!appendBytesWithLength(variableHeader, m_topic.value_or(std::string()))) return false;
    if (qos() > 0) appendHlBytes(variableHeader, m_msgid.value_or(0));
    return true;  // the payload is the payload field
}

bool MqttFramePublish::unpack() {
    if (!m_data) return false;
    const std::span<const uint8_t> d(*m_data);
    const auto topicBytes = readBytesWithLength(d);
    // A zero-length topic is forbidden by MQTT 3.1.1 section 4.7.3.
    if (!topicBytes || topicBytes->empty()) return false;
    if (isValidUtf8(*topicBytes)) {
        m_topic = toString(*topicBytes);
    } else {
        m_topic.reset();
    }
    size_t p = 2 + topicBytes->size();
    if (qos() == 0) {
        m_msgid = 0;
    } else {
        const auto id = readHlBytes(d, p);
        if (!id) return false;
        m_msgid = *id;
        p += 2;
    }
    m_payload.assign(d.begin() + static_cast<std::ptrdiff_t>(p), d.end());
    return true;
}

}  // namespace tgw::mqtt
