#include "mqtt/reader.h"

#include "mqtt/codec/frame.h"
#include "mqtt/codec/frame_publish.h"
#include "mqtt/codec/logger.h"

namespace tgw::mqtt {

uint16_t MqttReader::msgid(std::span<const uint8_t> bytes) {
    return readHlBytes(bytes).value_or(0);
}

void MqttReader::reset() {
    m_length = 0;
    m_multiply = 1;
    m_lengthBytes = 0;
    m_header = 0;
    m_data.clear();
    if (m_data.capacity() > 64 * 1024) Bytes().swap(m_data);
}

void MqttReader::readHeader() {
    reset();
    if (m_stopped) return;
    m_socket.readDataToLength(1, -1, static_cast<long>(MqttReadTag::header));
}

void MqttReader::headerReady(uint8_t header) {
    if (debugEnabled()) printDebug("reader header ready: " + std::to_string(header) + " ");
    if ((header & 0xF0) == 0xF0) {
        malformed("packet type 15 is reserved (header byte " + std::to_string(header) + ")");
        return;
    }
    m_header = header;
    readLength();
}

void MqttReader::readLength() {
    if (m_stopped) return;
    m_socket.readDataToLength(1, static_cast<double>(m_timeout),
                              static_cast<long>(MqttReadTag::length));
}

void MqttReader::lengthReady(uint8_t byte) {
    m_length += static_cast<size_t>(byte & 0x7F) * m_multiply;
    ++m_lengthBytes;
    if ((byte & 0x80) == 0) {
        // Checked as soon as the size is known: nothing is asked for (or
        // allocated) for a body above the limit.
        if (m_length > m_maxPacketSize) {
            tooLarge();
            return;
        }
        if (m_length == 0) {
            frameReady();
        } else {
            readPayload();
        }
        return;
    }
    if (m_lengthBytes == 4) {
        malformed("remaining length longer than four bytes");
        return;
    }
    m_multiply *= 128;
    readLength();
}

void MqttReader::readPayload() {
    if (m_stopped) return;
    m_socket.readDataToLength(m_length, static_cast<double>(m_timeout),
                              static_cast<long>(MqttReadTag::payload));
}

void MqttReader::payloadReady(std::span<const uint8_t> data) {
    m_data.assign(data.begin(), data.end());
    frameReady();
}

void MqttReader::malformed(const std::string& description) {
    printError("malformed packet from the broker: " + description);
    m_delegate.didReceiveMalformed(*this, {"malformed packet from the broker: " + description,
                                           MqttErrorKind::malformedPacket});
}

void MqttReader::tooLarge() {
    m_delegate.didReceiveMalformed(
        *this, {"incoming packet of " + std::to_string(m_length) + " bytes exceeds the limit of " +
                    std::to_string(m_maxPacketSize) + " bytes",
                MqttErrorKind::packetTooLarge});
}

void MqttReader::frameReady() {
    const auto type = frameTypeFromRaw(m_header & 0xF0);
    switch (type.value_or(MqttFrameType::reserved)) {
        case MqttFrameType::connack:
            if (m_data.size() < 2) {
                malformed("CONNACK body of " + std::to_string(m_data.size()) + " bytes");
                return;
            }
            m_delegate.didReceiveConnAck(*this, m_data[1]);
            break;
        case MqttFrameType::publish: {
            const uint8_t qosBits = (m_header & 0x06) >> 1;
            if (qosBits == 3) {
                malformed("PUBLISH with both QoS bits set");
                return;
            }
            MqttFramePublish frame(m_header, std::move(m_data));
            if (!frame.unpack()) {
                printWarning("Invalid format of received message.");
                break;  // dropped; reading goes on
            }
            if (!frame.topic()) {
                malformed("PUBLISH topic is not valid UTF-8");
                return;
            }
            MqttMessage message(*frame.topic(), frame.payload(), static_cast<MqttQos>(qosBits),
                                frame.retained(), frame.dup());
            m_delegate.didReceivePublish(*this, message, *frame.msgid());
            break;
        }
        case MqttFrameType::puback: m_delegate.didReceivePubAck(*this, msgid(m_data)); break;
        case MqttFrameType::pubrec: m_delegate.didReceivePubRec(*this, msgid(m_data)); break;
        case MqttFrameType::pubrel: m_delegate.didReceivePubRel(*this, msgid(m_data)); break;
        case MqttFrameType::pubcomp: m_delegate.didReceivePubComp(*this, msgid(m_data)); break;
        case MqttFrameType::suback:
            m_delegate.didReceiveSubAck(*this, msgid(m_data), m_data.size() > 2 ? m_data[2] : 0);
            break;
        case MqttFrameType::unsuback: m_delegate.didReceiveUnsubAck(*this, msgid(m_data)); break;
        case MqttFrameType::pingresp: m_delegate.didReceivePong(*this); break;
        default: break;  // packets only a client sends are read and ignored
    }
    readHeader();
}

}  // namespace tgw::mqtt
