#include "mqtt/reader.h"

#include <algorithm>

#include "mqtt/codec/logger.h"

namespace tgw::mqtt {

namespace {

// A skipped PUBLISH is dropped in reads of at most this many bytes.
constexpr size_t kSkipChunk = 64 * 1024;

}  // namespace

void MqttReader::read(size_t length, MqttReadTag tag) {
    if (m_stopped) return;
    m_socket.readDataToLength(length, -1, static_cast<long>(tag));
}

void MqttReader::readHeader() {
    m_packet.clear();
    if (m_packet.capacity() > 64 * 1024) Bytes().swap(m_packet);
    if (m_held) {
        m_headerDeferred = true;
        return;
    }
    read(1, MqttReadTag::header);
}

void MqttReader::setHeld(bool held) {
    m_held = held;
    if (held || !m_headerDeferred) return;
    m_headerDeferred = false;
    read(1, MqttReadTag::header);
}

void MqttReader::dataReady(std::span<const uint8_t> data, long tag) {
    if (m_stopped || data.empty()) return;
    switch (static_cast<MqttReadTag>(tag)) {
        case MqttReadTag::header:
        case MqttReadTag::length: headerByte(data[0]); break;
        case MqttReadTag::payload:
            m_packet.insert(m_packet.end(), data.begin(), data.end());
            packetReady();
            break;
        case MqttReadTag::skipHead: skipHead(data); break;
        case MqttReadTag::skip:
            m_skipLeft -= std::min(m_skipLeft, data.size());
            skipMore();
            break;
    }
}

void MqttReader::headerByte(uint8_t byte) {
    m_packet.push_back(byte);
    const auto header = decodeFixedHeader(m_packet);
    if (header.status == DecodeStatus::malformed) return malformed(header.error);
    if (!header.ok()) return read(1, MqttReadTag::length);
    m_header = *header.packet;
    // MQTT 3.1.1 section 3.2: CONNACK comes first, and once.
    const bool connack = m_header.type() == MqttFrameType::connack;
    if (connack == m_connAckSeen) {
        return malformed(connack ? "a second CONNACK"
                                 : std::string(packetName(m_header.type())) + " before CONNACK");
    }
    m_connAckSeen = true;
    if (debugEnabled()) printDebug("reader header ready: " + std::to_string(m_header.byte) + " ");
    // Checked as soon as the size is known: nothing is asked for (or allocated)
    // for a body above the limit.
    if (m_header.remainingLength > m_maxPacketSize) {
        if (m_header.type() != MqttFrameType::publish) return tooLarge();
        m_packet.clear();
        m_skipLeft = m_header.remainingLength;
        return read(std::min<size_t>(2, m_skipLeft), MqttReadTag::skipHead);
    }
    if (m_header.remainingLength == 0) return packetReady();
    m_packet.reserve(m_header.packetSize());
    read(m_header.remainingLength, MqttReadTag::payload);
}

void MqttReader::skipHead(std::span<const uint8_t> data) {
    m_packet.insert(m_packet.end(), data.begin(), data.end());
    m_skipLeft -= data.size();
    const auto head = decodePublishHead(m_header.byte, m_header.remainingLength, m_packet);
    if (head.status == DecodeStatus::malformed) return malformed(head.error);
    if (!head.ok()) {
        // The first two bytes give the head's size; read the rest of it.
        return read(publishHeadSize(m_header.byte, m_packet) - m_packet.size(),
                    MqttReadTag::skipHead);
    }
    m_skipped = std::move(*head.packet);
    skipMore();
}

void MqttReader::skipMore() {
    if (m_skipLeft > 0) return read(std::min(m_skipLeft, kSkipChunk), MqttReadTag::skip);
    const auto qos = static_cast<MqttQos>((m_header.byte & 0x06) >> 1);
    m_delegate.didSkipPublish(*this, m_skipped, qos, m_header.packetSize());
    if (!m_stopped) readHeader();
}

void MqttReader::malformed(const std::string& description) {
    m_stopped = true;
    printError("malformed packet from the broker: " + description);
    m_delegate.didReceiveMalformed(*this, {"malformed packet from the broker: " + description,
                                           MqttErrorKind::malformedPacket});
}

void MqttReader::tooLarge() {
    m_stopped = true;
    m_delegate.didReceiveMalformed(
        *this, {"incoming packet of " + std::to_string(m_header.remainingLength) +
                    " bytes exceeds the limit of " + std::to_string(m_maxPacketSize) + " bytes",
                MqttErrorKind::packetTooLarge});
}

void MqttReader::packetReady() {
    // Each decoder answers for a whole packet; "needs more" cannot happen here.
    auto fail = [this](DecodeStatus status, const std::string& error) {
        malformed(status == DecodeStatus::malformed ? error : "packet shorter than announced");
    };
    switch (m_header.type()) {
        case MqttFrameType::connack: {
            const auto d = decodeConnAck(m_packet);
            if (!d.ok()) return fail(d.status, d.error);
            m_delegate.didReceiveConnAck(*this, *d.packet);
            break;
        }
        case MqttFrameType::publish: {
            const auto d = decodePublish(m_packet);
            if (!d.ok()) return fail(d.status, d.error);
            m_packet.clear();
            m_delegate.didReceivePublish(*this, *d.packet);
            break;
        }
        case MqttFrameType::suback: {
            const auto d = decodeSubAck(m_packet);
            if (!d.ok()) return fail(d.status, d.error);
            m_delegate.didReceiveSubAck(*this, *d.packet);
            break;
        }
        case MqttFrameType::pingresp: {
            const auto d = decodePingResp(m_packet);
            if (!d.ok()) return fail(d.status, d.error);
            m_delegate.didReceivePong(*this);
            break;
        }
        default: {  // decodeFixedHeader let only acknowledgements through
            const auto d = decodeAck(m_packet);
            if (!d.ok()) return fail(d.status, d.error);
            m_delegate.didReceiveAck(*this, *d.packet);
            break;
        }
    }
    if (!m_stopped) readHeader();
}

}  // namespace tgw::mqtt
