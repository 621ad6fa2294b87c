// MqttFrame: one MQTT control packet as a fixed-header byte, a variable header
// and a payload, and its assembly into wire bytes (MQTT 3.1.1 sections 2.1, 2.2).
// Subclasses fill the variable header and payload in pack(); PINGREQ and
// DISCONNECT are plain MqttFrames. A frame is packed once: data() appends.
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

    // Flag setters only OR bits in: frames get their flags once, on a header
    // whose flag bits are still zero.
    bool dup() const { return ((m_header & 0x08) >> 3) != 0; }
    void setDup(bool v) { m_header |= static_cast<uint8_t>(bit(v) << 3); }
    uint8_t qos() const { return (m_header & 0x06) >> 1; }
    void setQos(uint8_t v) { m_header |= static_cast<uint8_t>(v << 1); }
    bool retained() const { return (m_header & 0x01) != 0; }
    void setRetained(bool v) { m_header |= bit(v); }

    const Bytes& variableHeader() const { return m_variableHeader; }
    void setVariableHeader(Bytes b) { m_variableHeader = std::move(b); }
    const Bytes& payload() const { return m_payload; }
    void setPayload(Bytes b) { m_payload = std::move(b); }

    // The complete packet: header, remaining length, variable header, payload.
    // Throws MqttEncodeError when the packet cannot be encoded.
    Bytes data();
    // Remaining-length bytes for the current variable header and payload.
    // Throws MqttEncodeError beyond 268,435,455.
    Bytes encodeLength() const;

  protected:
    virtual void pack() {}

    uint8_t m_header = 0;
    Bytes m_variableHeader;
    Bytes m_payload;
};

// Remaining-length encoding of `length` (MQTT 3.1.1 section 2.2.3).
Bytes encodeRemainingLength(uint32_t length);

}  // namespace tgw::mqtt
