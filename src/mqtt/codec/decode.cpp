#include "mqtt/codec/decode.h"

namespace tgw::mqtt {

namespace {

std::string hexByte(uint8_t b) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return {'0', 'x', digits[b >> 4], digits[b & 0x0F]};
}

// The fixed header of a packet of `type`, checked, with its whole body present.
template <typename Packet>
std::optional<Decoded<Packet>> frameOf(std::span<const uint8_t> bytes, MqttFrameType type,
                                       FixedHeader& header) {
    auto h = decodeFixedHeader(bytes);
    if (h.status == DecodeStatus::malformed) return Decoded<Packet>::malformed(h.error);
    if (h.ok() && h.packet->type() != type) {
        return Decoded<Packet>::malformed(std::string("not a ") + packetName(type) + " packet");
    }
    if (!h.ok() || bytes.size() < h.packet->packetSize()) return Decoded<Packet>::needMore();
    header = *h.packet;
    return std::nullopt;
}

// A remaining length other than `expected` for a packet of fixed size.
template <typename Packet>
std::optional<Decoded<Packet>> checkLength(const FixedHeader& h, uint32_t expected) {
    if (h.remainingLength == expected) return std::nullopt;
    return Decoded<Packet>::malformed(std::string(packetName(h.type())) + " remaining length " +
                                      std::to_string(h.remainingLength) + ", not " +
                                      std::to_string(expected));
}

}  // namespace

const char* packetName(MqttFrameType type) {
    switch (type) {
        case MqttFrameType::connack: return "CONNACK";
        case MqttFrameType::publish: return "PUBLISH";
        case MqttFrameType::puback: return "PUBACK";
        case MqttFrameType::pubrec: return "PUBREC";
        case MqttFrameType::pubrel: return "PUBREL";
        case MqttFrameType::pubcomp: return "PUBCOMP";
        case MqttFrameType::suback: return "SUBACK";
        case MqttFrameType::unsuback: return "UNSUBACK";
        case MqttFrameType::pingresp: return "PINGRESP";
        default: return "?";
    }
}

Decoded<FixedHeader> decodeFixedHeader(std::span<const uint8_t> bytes) {
    using D = Decoded<FixedHeader>;
    if (bytes.empty()) return D::needMore();
    const uint8_t byte = bytes[0];
    const auto type = static_cast<MqttFrameType>(byte & 0xF0);
    const uint8_t flags = byte & 0x0F;
    switch (type) {
        case MqttFrameType::publish:
            if ((flags & 0x06) == 0x06) return D::malformed("PUBLISH with both QoS bits set");
            // MQTT 3.1.1 section 3.3.1.1: DUP is 0 on every QoS 0 message.
            if ((flags & 0x0E) == 0x08) return D::malformed("PUBLISH with DUP set at QoS 0");
            break;
        case MqttFrameType::pubrel:
            if (flags != 0x02) return D::malformed("PUBREL flags " + hexByte(flags) + ", not 0x02");
            break;
        case MqttFrameType::connack:
        case MqttFrameType::puback:
        case MqttFrameType::pubrec:
        case MqttFrameType::pubcomp:
        case MqttFrameType::suback:
        case MqttFrameType::unsuback:
        case MqttFrameType::pingresp:
            if (flags != 0) {
                return D::malformed(std::string(packetName(type)) + " flags " + hexByte(flags) +
                                    ", not 0");
            }
            break;
        default:
            return D::malformed("packet type " + std::to_string(byte >> 4) +
                                " is not sent by a broker (header byte " + hexByte(byte) + ")");
    }
    const auto length = readRemainingLength(bytes, 1);
    if (!length) {
        if (bytes.size() >= 5) return D::malformed("remaining length longer than four bytes");
        return D::needMore();
    }
    FixedHeader h{byte, length->value, 1 + length->size};
    return D::done(h, h.size);
}

Decoded<PublishHead> decodePublishHead(uint8_t header, uint32_t remainingLength,
                                       std::span<const uint8_t> body) {
    using D = Decoded<PublishHead>;
    const bool hasId = (header & 0x06) != 0;
    if (body.size() < 2)
        return remainingLength < 2 ? D::malformed("PUBLISH too short") : D::needMore();
    const size_t headSize = publishHeadSize(header, body);
    const size_t topicSize = headSize - 2 - (hasId ? 2 : 0);
    if (headSize > remainingLength) {
        return D::malformed("PUBLISH topic and packet id run past the packet's " +
                            std::to_string(remainingLength) + " bytes");
    }
    if (body.size() < headSize) return D::needMore();
    // MQTT 3.1.1 sections 4.7.1 and 4.7.3: a topic name is at least one
    // character, valid UTF-8, and has no wildcards.
    const auto topic = body.subspan(2, topicSize);
    if (topic.empty()) return D::malformed("PUBLISH with an empty topic");
    if (!isValidUtf8(topic)) return D::malformed("PUBLISH topic is not valid UTF-8");
    PublishHead head{toString(topic), 0, headSize};
    if (head.topic.find_first_of(std::string_view("+#\0", 3)) != std::string::npos) {
        return D::malformed("PUBLISH topic holds a wildcard or a null character");
    }
    if (hasId) {
        head.id = static_cast<uint16_t>(body[2 + topicSize] << 8 | body[3 + topicSize]);
        if (head.id == 0) return D::malformed("PUBLISH with packet id 0");
    }
    return D::done(std::move(head), headSize);
}

Decoded<ConnAckPacket> decodeConnAck(std::span<const uint8_t> bytes) {
    using D = Decoded<ConnAckPacket>;
    FixedHeader h;
    if (auto early = frameOf<ConnAckPacket>(bytes, MqttFrameType::connack, h)) return *early;
    if (auto bad = checkLength<ConnAckPacket>(h, 2)) return *bad;
    const uint8_t flags = bytes[h.size];
    if (flags > 1) return D::malformed("CONNACK acknowledge flags " + hexByte(flags));
    return D::done({flags == 1, bytes[h.size + 1]}, h.packetSize());
}

Decoded<PublishPacket> decodePublish(std::span<const uint8_t> bytes) {
    using D = Decoded<PublishPacket>;
    FixedHeader h;
    if (auto early = frameOf<PublishPacket>(bytes, MqttFrameType::publish, h)) return *early;
    const auto body = bytes.subspan(h.size, h.remainingLength);
    auto head = decodePublishHead(h.byte, h.remainingLength, body);
    if (!head.ok()) return D::malformed(head.error);  // the whole body is there
    const auto payload = body.subspan(head.packet->size);
    MqttMessage message(std::move(head.packet->topic), Bytes(payload.begin(), payload.end()),
                        static_cast<MqttQos>((h.byte & 0x06) >> 1), (h.byte & 0x01) != 0,
                        (h.byte & 0x08) != 0);
    return D::done({std::move(message), head.packet->id}, h.packetSize());
}

Decoded<AckPacket> decodeAck(std::span<const uint8_t> bytes) {
    using D = Decoded<AckPacket>;
    auto h = decodeFixedHeader(bytes);
    if (h.status == DecodeStatus::malformed) return D::malformed(h.error);
    if (!h.ok()) return D::needMore();
    const MqttFrameType type = h.packet->type();
    if (type != MqttFrameType::puback && type != MqttFrameType::pubrec &&
        type != MqttFrameType::pubrel && type != MqttFrameType::pubcomp &&
        type != MqttFrameType::unsuback) {
        return D::malformed("not an acknowledgement");
    }
    if (auto bad = checkLength<AckPacket>(*h.packet, 2)) return *bad;
    if (bytes.size() < h.packet->packetSize()) return D::needMore();
    const uint16_t id = *readHlBytes(bytes, h.packet->size);
    if (id == 0) return D::malformed(std::string(packetName(type)) + " with packet id 0");
    return D::done({type, id}, h.packet->packetSize());
}

Decoded<SubAckPacket> decodeSubAck(std::span<const uint8_t> bytes) {
    using D = Decoded<SubAckPacket>;
    FixedHeader h;
    if (auto early = frameOf<SubAckPacket>(bytes, MqttFrameType::suback, h)) return *early;
    if (h.remainingLength < 3) {
        return D::malformed("SUBACK remaining length " + std::to_string(h.remainingLength) +
                            ": no return code");
    }
    SubAckPacket p{*readHlBytes(bytes, h.size), {}};
    if (p.id == 0) return D::malformed("SUBACK with packet id 0");
    for (const uint8_t code : bytes.subspan(h.size + 2, h.remainingLength - 2)) {
        if (code > 2 && code != 0x80) return D::malformed("SUBACK return code " + hexByte(code));
        p.returnCodes.push_back(code);
    }
    return D::done(std::move(p), h.packetSize());
}

Decoded<PingRespPacket> decodePingResp(std::span<const uint8_t> bytes) {
    using D = Decoded<PingRespPacket>;
    FixedHeader h;
    if (auto early = frameOf<PingRespPacket>(bytes, MqttFrameType::pingresp, h)) return *early;
    if (auto bad = checkLength<PingRespPacket>(h, 0)) return *bad;
    return D::done({}, h.packetSize());
}

}  // namespace tgw::mqtt
