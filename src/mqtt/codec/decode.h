// Decoders for the packets a broker sends (MQTT 3.1.1 sections 2.2, 3.2-3.11,
// 3.13): CONNACK, PUBLISH, PUBACK, PUBREC, PUBREL, PUBCOMP, SUBACK, UNSUBACK
// and PINGRESP. Each reads one whole packet from the start of `bytes` (fixed
// header included) and answers with one of three outcomes: the packet and how
// many bytes it took, "needs more bytes" (every strict prefix of a valid packet
// gives this), or "malformed" with what is wrong. Pure functions: no I/O, no
// logging, no state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mqtt/codec/frame.h"
#include "mqtt/codec/message.h"

namespace tgw::mqtt {

enum class DecodeStatus : uint8_t { ok, needMore, malformed };

template <typename Packet>
struct Decoded {
    DecodeStatus status = DecodeStatus::needMore;
    std::optional<Packet> packet;  // set when ok
    size_t consumed = 0;           // bytes of the whole packet when ok
    std::string error;             // what is wrong when malformed

    bool ok() const { return status == DecodeStatus::ok; }
    static Decoded needMore() { return {}; }
    static Decoded malformed(std::string why) {
        return {DecodeStatus::malformed, std::nullopt, 0, std::move(why)};
    }
    static Decoded done(Packet p, size_t consumed) {
        return {DecodeStatus::ok, std::move(p), consumed, {}};
    }
};

// The fixed header: the type-and-flags byte and the remaining length.
struct FixedHeader {
    uint8_t byte = 0;
    uint32_t remainingLength = 0;
    size_t size = 0;  // 2 to 5 bytes
    MqttFrameType type() const { return static_cast<MqttFrameType>(byte & 0xF0); }
    size_t packetSize() const { return size + remainingLength; }
};

struct ConnAckPacket {
    bool sessionPresent = false;
    uint8_t returnCode = 0;
};

// PUBACK, PUBREC, PUBREL, PUBCOMP and UNSUBACK: a type and a packet id.
struct AckPacket {
    MqttFrameType type = MqttFrameType::puback;
    uint16_t id = 0;
};

struct SubAckPacket {
    uint16_t id = 0;
    std::vector<uint8_t> returnCodes;  // each 0, 1, 2 or 0x80
};

struct PingRespPacket {};

// The start of a PUBLISH body: the topic and, for QoS 1 and 2, the packet id.
struct PublishHead {
    std::string topic;
    uint16_t id = 0;  // 0 for QoS 0
    size_t size = 0;  // bytes of the body the head takes
};

struct PublishPacket {
    MqttMessage message;
    uint16_t id = 0;  // 0 for QoS 0
};

// The name of a packet type a broker sends, e.g. "PUBACK"; "?" for the others.
const char* packetName(MqttFrameType type);

// The fixed header alone; malformed for a type a broker never sends (CONNECT,
// SUBSCRIBE, UNSUBSCRIBE, PINGREQ, DISCONNECT, the reserved 0 and 15), for
// flag bits other than MQTT 3.1.1 section 2.2.2 gives the type, and for a
// remaining length that runs past four bytes.
Decoded<FixedHeader> decodeFixedHeader(std::span<const uint8_t> bytes);

// The topic and packet id at the start of a PUBLISH body of `remainingLength`
// bytes, from `header` (a PUBLISH type byte that decodeFixedHeader accepted).
// `body` may hold less than the whole body: only the head needs to be there.
Decoded<PublishHead> decodePublishHead(uint8_t header, uint32_t remainingLength,
                                       std::span<const uint8_t> body);

// The size of a PUBLISH head (topic and packet id) from `header` and the
// body's first two bytes, which give the topic's length.
inline size_t publishHeadSize(uint8_t header, std::span<const uint8_t> firstTwo) {
    return 2 + static_cast<size_t>(firstTwo[0] << 8 | firstTwo[1]) + ((header & 0x06) != 0 ? 2 : 0);
}

Decoded<ConnAckPacket> decodeConnAck(std::span<const uint8_t> bytes);
Decoded<PublishPacket> decodePublish(std::span<const uint8_t> bytes);
Decoded<AckPacket> decodeAck(std::span<const uint8_t> bytes);
Decoded<SubAckPacket> decodeSubAck(std::span<const uint8_t> bytes);
Decoded<PingRespPacket> decodePingResp(std::span<const uint8_t> bytes);

}  // namespace tgw::mqtt
