// MqttFrame: one MQTT control packet as a fixed-header byte, a variable header
// and a payload, and its assembly into wire bytes (MQTT 3.1.1 sections 2.1, 2.2).
// Subclasses derive the variable header and payload from their own fields in
// pack(); PINGREQ and DISCONNECT are plain MqttFrames. Encoding is a pure
// function of the frame's fields: data() may be called any number of times,
// and a frame may be sent again.
#pragma once

#include <cstdint>
#include <optional>

#include "mqtt/codec/bytes.h"

namespace tgw::mqtt {

enum class MqttFrameType : uint8_t {
    reserved = 0x00,
    connect = 0x10,
    connack = 0x20,
    publish = 0x30,
    puback = 0x40,
    pubrec = 0x50,
    pubrel = 0x60,
    pubcomp = 0x70,
    subscribe = 0x80,
    suback = 0x90,
    unsubscribe = 0xA0,
    unsuback = 0xB0,
    pingreq = 0xC0,
    pingresp = 0xD0,
    disconnect = 0xE0,
};

// The packet type for a raw byte, or none unless the byte is exactly one of the
// fifteen type values (callers mask with 0xF0 first).
std::optional<MqttFrameType> frameTypeFromRaw(uint8_t raw);

// The largest remaining length MQTT 3.1.1 can express (four length bytes).
inline constexpr uint32_t kMaxRemainingLength = 268'435'455;

class MqttFrame {
  public:
    explicit MqttFrame(uint8_t header) : m_header(header) {}
    explicit MqttFrame(MqttFrameType type, Bytes payload = {})
        : m_header(static_cast<uint8_t>(type)), m_payload(std::move(payload)) {}
    virtual ~MqttFrame() = default;
    MqttFrame(const MqttFrame&) = default;
    MqttFrame& operator=(const MqttFrame&) = default;

    uint8_t header() const { return m_header; }
    void setHeader(uint8_t h) { m_header = h; }
    uint8_t type() const { return m_header & 0xF0; }

    // Each flag setter replaces its own bits and leaves the others alone.
    bool dup() const { return ((m_header & 0x08) >> 3) != 0; }
    void setDup(bool v) { m_header = static_cast<uint8_t>((m_header & ~0x08) | bit(v) << 3); }
    uint8_t qos() const { return (m_header & 0x06) >> 1; }
    void setQos(uint8_t v) { m_header = static_cast<uint8_t>((m_header & ~0x06) | (v & 3) << 1); }
    bool retained() const { return (m_header & 0x01) != 0; }
    void setRetained(bool v) { m_header = static_cast<uint8_t>((m_header & ~0x01) | bit(v)); }

    const Bytes& variableHeader() const { return m_variableHeader; }
    void setVariableHeader(Bytes b) { m_variableHeader = std::move(b); }
    const Bytes& payload() const { return m_payload; }
    void setPayload(Bytes b) { m_payload = std::move(b); }

    // The complete packet: header, remaining length, variable header, payload.
    // None when a text is longer than its 16-bit prefix allows or the packet
    // longer than 268,435,455 bytes.
    std::optional<Bytes> data() const;
    // The packet up to its payload field, for a payload of `payloadBytes`
    // written after it from where it is: a large payload is then never
    // copied into the packet. None as for data(), and for a frame that packs
    // a payload of its own.
    std::optional<Bytes> head(size_t payloadBytes) const;
    // The same head appended to `out`; false, and `out` as it was, when it
    // cannot be encoded.
    bool appendHead(Bytes& out, size_t payloadBytes) const;
    // Remaining-length bytes for the packed variable header and payload; none
    // when they cannot be encoded.
    std::optional<Bytes> encodeLength() const;

  protected:
    // The variable header, and the payload when it is not the payload field
    // itself, as the frame's fields make them now. False when a field cannot
    // be encoded. The base frame sends its two fields as they are.
    virtual bool pack(Bytes& variableHeader, std::optional<Bytes>& payload) const;
    // The variable header appended to `out`; false for a frame that cannot be
    // encoded or packs a payload of its own. By default through pack().
    virtual bool appendVariableHeader(Bytes& out) const;

    uint8_t m_header = 0;
    Bytes m_variableHeader;
    Bytes m_payload;
};

// Remaining-length encoding of `length` (MQTT 3.1.1 section 2.2.3); none
// beyond 268,435,455.
std::optional<Bytes> encodeRemainingLength(uint32_t length);

// A remaining length decoded from `bytes` at `at`: its value and how many
// bytes it took. None when the bytes end before the length does or it runs
// past four bytes.
struct RemainingLength {
    uint32_t value;
    size_t size;
};
std::optional<RemainingLength> readRemainingLength(std::span<const uint8_t> bytes, size_t at = 0);

}  // namespace tgw::mqtt
