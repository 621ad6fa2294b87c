#include "mqtt/codec/frame.h"

#include <cstring>
#include <string>

namespace tgw::mqtt {

std::optional<MqttFrameType> frameTypeFromRaw(uint8_t raw) {
    if ((raw & 0x0F) != 0 || raw == 0xF0) return std::nullopt;
    return static_cast<MqttFrameType>(raw);
}

namespace {

// Writes the remaining-length digits of `length` into `out`; returns how many,
// 0 when the length is beyond what MQTT can express.
size_t encodeRemainingLengthInto(size_t length, uint8_t (&out)[4]) {
    if (length > kMaxRemainingLength) return 0;
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

std::optional<Bytes> encodeRemainingLength(uint32_t length) {
    uint8_t digits[4];
    const size_t n = encodeRemainingLengthInto(length, digits);
    if (n == 0) return std::nullopt;
    return Bytes(digits, digits + n);
}

std::optional<RemainingLength> readRemainingLength(std::span<const uint8_t> bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i) {
        const uint8_t b = bytes[at + i];
        value |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) return RemainingLength{value, i + 1};
    }
    return std::nullopt;
}

bool MqttFrame::pack(Bytes& variableHeader, std::optional<Bytes>&) const {
    variableHeader = m_variableHeader;
    return true;
}

std::optional<Bytes> MqttFrame::encodeLength() const {
    Bytes variableHeader;
    std::optional<Bytes> payload;
    if (!pack(variableHeader, payload)) return std::nullopt;
    const size_t length = variableHeader.size() + (payload ? payload : m_payload)->size();
    if (length > kMaxRemainingLength) return std::nullopt;
    return encodeRemainingLength(static_cast<uint32_t>(length));
}

std::optional<Bytes> MqttFrame::head(size_t payloadBytes) const {
    Bytes out;
    if (!appendHead(out, payloadBytes)) return std::nullopt;
    return out;
}

bool MqttFrame::appendVariableHeader(Bytes& out) const {
    Bytes variableHeader;
    std::optional<Bytes> packedPayload;
    if (!pack(variableHeader, packedPayload) || packedPayload) return false;
    out.insert(out.end(), variableHeader.begin(), variableHeader.end());
    return true;
}

bool MqttFrame::appendHead(Bytes& out, size_t payloadBytes) const {
    // Room for the header byte and the longest remaining length, then the
    // variable header; what the length does not need is taken out again.
    const size_t start = out.size();
    out.resize(start + 5);
    uint8_t digits[4];
    size_t n = 0;
    if (!appendVariableHeader(out) ||
        (n = encodeRemainingLengthInto(out.size() - start - 5 + payloadBytes, digits)) == 0) {
        out.resize(start);
        return false;
    }
    const size_t at = start + 4 - n;
    out[at] = m_header;
    std::memcpy(out.data() + at + 1, digits, n);
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(start),
              out.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

std::optional<Bytes> MqttFrame::data() const {
    Bytes variableHeader;
    std::optional<Bytes> packedPayload;
    if (!pack(variableHeader, packedPayload)) return std::nullopt;
    const Bytes& payload = packedPayload ? *packedPayload : m_payload;
    uint8_t digits[4];
    const size_t n = encodeRemainingLengthInto(variableHeader.size() + payload.size(), digits);
    if (n == 0) return std::nullopt;
    Bytes out(1 + n + variableHeader.size() + payload.size());
    uint8_t* p = out.data();
    *p++ = m_header;
    std::memcpy(p, digits, n);
    p += n;
    if (!variableHeader.empty()) std::memcpy(p, variableHeader.data(), variableHeader.size());
    p += variableHeader.size();
    if (!payload.empty()) std::memcpy(p, payload.data(), payload.size());
    return out;
}

}  // namespace tgw::mqtt
