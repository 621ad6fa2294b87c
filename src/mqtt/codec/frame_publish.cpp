#include "mqtt/codec/frame_publish.h"

#include "mqtt/codec/logger.h"

namespace tgw::mqtt {

void MqttFramePublish::pack() {
    m_variableHeader.reserve(m_variableHeader.size() + 2 + (m_topic ? m_topic->size() : 0) + 2);
    appendBytesWithLength(m_variableHeader, m_topic.value_or(std::string()));
    if (qos() > 0) appendHlBytes(m_variableHeader, m_msgid.value_or(0));
}

void MqttFramePublish::unpack() {
    static constexpr std::string_view kInvalid = "Invalid format of received message.";
    if (!m_data || m_data->size() < 2) {
        printWarning(kInvalid);
        return;
    }
    const Bytes& d = *m_data;
    const size_t topicLength = static_cast<size_t>(d[0]) * 256 + d[1];
    size_t p = 2 + topicLength;
    // A zero-length topic is forbidden by MQTT 3.1.1 section 4.7.3.
    if (topicLength == 0 || d.size() < p) {
        printWarning(kInvalid);
        return;
    }
    const std::span<const uint8_t> topicBytes(d.data() + 2, topicLength);
    if (isValidUtf8(topicBytes)) {
        m_topic = toString(topicBytes);
    } else {
        m_topic.reset();
    }
    if (qos() == 0) {
        m_msgid = 0;
    } else {
        if (d.size() < p + 2) {
            printWarning(kInvalid);
            return;
        }
        m_msgid = static_cast<uint16_t>(d[p] * 256 + d[p + 1]);
        p += 2;
    }
    m_payload.assign(d.begin() + static_cast<std::ptrdiff_t>(p), d.end());
}

}  // namespace tgw::mqtt
