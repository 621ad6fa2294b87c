#include "frame.h"

#include <string>

namespace tgw::mqtt {

std::optional<MqttFrameType> frameTypeFromRaw(uint8_t raw) {
    if ((raw & 0x0F) != 0 || raw == 0xF0) return std::nullopt;
    return static_cast<MqttFrameType>(raw);
}

Bytes encodeRemainingLength(uint32_t length) {
    if (length > kMaxRemainingLength) {
        throw MqttEncodeError("remaining length " + std::to_string(length) +
                              " exceeds the MQTT maximum of 268435455");
    }
    Bytes out;
    do {
        uint8_t digit = length & 0x7F;
        length >>= 7;
        if (length > 0) digit |= 0x80;
        out.push_back(digit);
    } while (length > 0);
    return out;
}

Bytes MqttFrame::encodeLength() const {
    const size_t length = m_variableHeader.size() + m_payload.size();
    if (length > kMaxRemainingLength) {
        throw MqttEncodeError("remaining length " + std::to_string(length) +
                              " exceeds the MQTT maximum of 268435455");
    }
    return encodeRemainingLength(static_cast<uint32_t>(length));
}

Bytes MqttFrame::data() {
    pack();
    const Bytes length = encodeLength();
    Bytes out;
    out.reserve(1 + length.size() + m_variableHeader.size() + m_payload.size());
    out.push_back(m_header);
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), m_variableHeader.begin(), m_variableHeader.end());
    out.insert(out.end(), m_payload.begin(), m_payload.end());
    return out;
}

}  // namespace tgw::mqtt
