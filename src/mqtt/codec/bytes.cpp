#include "mqtt/codec/bytes.h"

namespace tgw::mqtt {

Bytes hlBytes(uint16_t v) {
    return Bytes{highByte(v), lowByte(v)};
}

void appendHlBytes(Bytes& out, uint16_t v) {
    out.push_back(highByte(v));
    out.push_back(lowByte(v));
}

std::optional<Bytes> bytesWithLength(std::string_view s) {
    Bytes out;
    if (!appendBytesWithLength(out, s)) return std::nullopt;
    return out;
}

bool appendBytesWithLength(Bytes& out, std::string_view s) {
    if (s.size() > 0xFFFF) return false;
    out.reserve(out.size() + 2 + s.size());
    appendHlBytes(out, static_cast<uint16_t>(s.size()));
    appendBytes(out, s);
    return true;
}

std::optional<uint16_t> readHlBytes(std::span<const uint8_t> bytes, size_t at) {
    if (bytes.size() < 2 || at > bytes.size() - 2) return std::nullopt;
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::optional<std::span<const uint8_t>> readBytesWithLength(std::span<const uint8_t> bytes,
                                                            size_t at) {
    const auto length = readHlBytes(bytes, at);
    if (!length || *length > bytes.size() - at - 2) return std::nullopt;
    return bytes.subspan(at + 2, *length);
}

}  // namespace tgw::mqtt
