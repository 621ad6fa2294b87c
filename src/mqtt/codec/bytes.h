// Byte helpers shared by every MQTT packet kind: the big-endian split of a
// 16-bit value, length-prefixed UTF-8 text (MQTT 3.1.1 section 1.5.3), and the
// boolean/bit conversions used by header and connect flags.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"

namespace tgw::mqtt {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t highByte(uint16_t v) {
    return static_cast<uint8_t>((v & 0xFF00) >> 8);
}
constexpr uint8_t lowByte(uint16_t v) {
    return static_cast<uint8_t>(v & 0x00FF);
}
constexpr uint8_t bit(bool b) {
    return b ? 1 : 0;
}
constexpr bool boolFromBit(uint8_t x) {
    return x != 0;
}

// Two bytes, most significant first.
Bytes hlBytes(uint16_t v);
void appendHlBytes(Bytes& out, uint16_t v);

// Two bytes of length followed by the UTF-8 bytes of `s`; none (nothing
// appended, false) when `s` is longer than 65,535 bytes.
std::optional<Bytes> bytesWithLength(std::string_view s);
bool appendBytesWithLength(Bytes& out, std::string_view s);

// Decoding, the mirror images of the above. Each reads at `at` and gives none
// when the bytes end too early.
// The big-endian 16-bit value of two bytes.
std::optional<uint16_t> readHlBytes(std::span<const uint8_t> bytes, size_t at = 0);
// The bytes of a length-prefixed field (without its two-byte prefix).
std::optional<std::span<const uint8_t>> readBytesWithLength(std::span<const uint8_t> bytes,
                                                            size_t at = 0);

using tgw::isValidUtf8;

inline std::string toString(std::span<const uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}
inline void appendBytes(Bytes& out, std::string_view s) {
    const size_t at = out.size();
    out.resize(at + s.size());
    if (!s.empty()) std::memcpy(out.data() + at, s.data(), s.size());
}
inline Bytes toBytes(std::string_view s) {
    Bytes out;
    appendBytes(out, s);
    return out;
}

}  // namespace tgw::mqtt
