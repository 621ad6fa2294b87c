#include "mqtt/codec/frame.h"

#include <cstring>
#include <string>

namespace tgw::mqtt {

std::optional<MqttFrameType> frameTypeFromRaw(uint8_t raw) {
    if ((raw & 0x0F) != 0 || raw == 0xF0) return std::nullopt;
    return static_cast<MqttFrameType>(raw);
}

namespace {

// Writes the remaining-length digits of `length` into `out`; returns how many.
size_t encodeRemainingLengthInto(size_t length, uint8_t (&out)[4]) {
    if (length > kMaxRemainingLength) {
        throw MqttEncodeError("remaining length " + std::to_string(length) +
                              " exceeds the MQTT maximum of 268435455");
    }
    size_t n = 0;
    do {
        uint8_t digit = length & 0x7F;
        length >>= 7;
        if (length > 0) digit |= 0x80;
        out[n++] = digit;
    } while (length > 0);
    return n;
}

}  // namespace

Bytes encodeRemainingLength(uint32_t length) {
    uint8_t digits[4];
    const size_t n = encodeRemainingLengthInto(length, digits);
    return Bytes(digits, digits + n);
}

Bytes MqttFrame::encodeLength() const {
    uint8_t digits[4];
    const size_t n = encodeRemainingLengthInto(m_variableHeader.size() + m_payload.size(), digits);
    return Bytes(digits, digits + n);
}

Bytes MqttFrame::data() {
    pack();
    uint8_t digits[4];
    const size_t n = encodeRemainingLengthInto(m_variableHeader.size() + m_payload.size(), digits);
    Bytes out(1 + n + m_variableHeader.size() + m_payload.size());
    uint8_t* p = out.data();
    *p++ = m_header;
    std::memcpy(p, digits, n);
    p += n;
    if (!m_variableHeader.empty()) std::memcpy(p, m_variableHeader.data(), m_variableHeader.size());
    p += m_variableHeader.size();
    if (!m_payload.empty()) std::memcpy(p, m_payload.data(), m_payload.size());
    return out;
}

}  // namespace tgw::mqtt
