// MqttReader: cuts the broker's byte stream into MQTT packets, one at a time:
// the fixed-header byte and the remaining-length bytes one by one, then the
// body in one read, and hands each whole packet to the codec's decoder for its
// type. A PUBLISH above the size limit is not read whole: its topic and packet
// id are read, the rest is read and dropped in chunks as it arrives. It issues
// its reads on the session's socket; the session hands each completion back.
// One reader per connection.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "mqtt/async_socket.h"
#include "mqtt/codec/decode.h"

namespace tgw::mqtt {

enum class MqttReadTag : long { header = 0, length = 1, payload = 2, skipHead = 3, skip = 4 };

class MqttReader;

class MqttReaderDelegate {
  public:
    virtual ~MqttReaderDelegate() = default;
    virtual void didReceiveConnAck(MqttReader& reader, const ConnAckPacket& packet) = 0;
    virtual void didReceivePublish(MqttReader& reader, const PublishPacket& packet) = 0;
    // PUBACK, PUBREC, PUBREL, PUBCOMP and UNSUBACK.
    virtual void didReceiveAck(MqttReader& reader, const AckPacket& packet) = 0;
    virtual void didReceiveSubAck(MqttReader& reader, const SubAckPacket& packet) = 0;
    virtual void didReceivePong(MqttReader& reader) = 0;
    // A PUBLISH of `bytes` (whole packet) above the size limit was read and
    // dropped; `head` is its topic and packet id.
    virtual void didSkipPublish(MqttReader& reader, const PublishHead& head, MqttQos qos,
                                size_t bytes) = 0;
    // A packet no MQTT 3.1.1 broker may send (kind malformedPacket) or one
    // larger than the reader accepts (kind packetTooLarge); the reader has
    // stopped reading and the connection should be closed with this error.
    virtual void didReceiveMalformed(MqttReader& reader, const MqttError& error) = 0;
};

class MqttReader {
  public:
    // Both must outlive the reader.
    MqttReader(AsyncSocket& socket, MqttReaderDelegate& delegate)
        : m_socket(socket), m_delegate(delegate) {}

    // Issues the first header read.
    void start() { readHeader(); }
    // Issues no further reads; for a reader whose connection is over.
    void stop() { m_stopped = true; }
    // A completed read of the socket, with the tag the reader gave it.
    void dataReady(std::span<const uint8_t> data, long tag);
    // While held, no new packet is read (the one under way is finished);
    // releasing reads on. The session holds its reader while the broker does
    // not take the bytes it is sent.
    void setHeld(bool held);
    bool held() const { return m_held; }

    // Remaining lengths above this end reading before the body is asked for,
    // except for PUBLISH, which is skipped.
    size_t maxPacketSize() const { return m_maxPacketSize; }
    void setMaxPacketSize(size_t bytes) { m_maxPacketSize = bytes; }

  private:
    void readHeader();
    void headerByte(uint8_t byte);
    void packetReady();
    void skipHead(std::span<const uint8_t> data);
    void skipMore();
    void read(size_t length, MqttReadTag tag);
    void malformed(const std::string& description);
    void tooLarge();

    AsyncSocket& m_socket;
    MqttReaderDelegate& m_delegate;
    Bytes m_packet;  // fixed header and, once read, the body
    FixedHeader m_header;
    size_t m_skipLeft = 0;  // body bytes of a skipped PUBLISH still to drop
    PublishHead m_skipped;
    size_t m_maxPacketSize = 1024 * 1024;
    bool m_stopped = false;
    bool m_held = false;
    bool m_headerDeferred = false;
    bool m_connAckSeen = false;
};

}  // namespace tgw::mqtt
