// MqttReader: cuts the broker's byte stream into MQTT packets, one at a time:
// the fixed-header byte, the remaining-length bytes one by one, then the body in
// one read. It issues its reads on the session's socket; the session receives
// each completion and hands it back by tag. One reader per connection attempt.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "mqtt/async_socket.h"
#include "mqtt/codec/message.h"

namespace tgw::mqtt {

enum class MqttReadTag : long { header = 0, length = 1, payload = 2 };

class MqttReader;

class MqttReaderDelegate {
  public:
    virtual ~MqttReaderDelegate() = default;
    virtual void didReceiveConnAck(MqttReader& reader, uint8_t connack) = 0;
    virtual void didReceivePublish(MqttReader& reader, const MqttMessage& message, uint16_t id) = 0;
    virtual void didReceivePubAck(MqttReader& reader, uint16_t msgid) = 0;
    virtual void didReceivePubRec(MqttReader& reader, uint16_t msgid) = 0;
    virtual void didReceivePubRel(MqttReader& reader, uint16_t msgid) = 0;
    virtual void didReceivePubComp(MqttReader& reader, uint16_t msgid) = 0;
    // `returnCode` is the SUBACK's first return code (MQTT 3.1.1, 3.9.3): the
    // granted QoS, or 0x80 for a refusal.
    virtual void didReceiveSubAck(MqttReader& reader, uint16_t msgid, uint8_t returnCode) = 0;
    virtual void didReceiveUnsubAck(MqttReader& reader, uint16_t msgid) = 0;
    virtual void didReceivePong(MqttReader& reader) = 0;
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
    // Issues no further reads; for a reader whose connection attempt is over.
    void stop() { m_stopped = true; }
    void headerReady(uint8_t header);
    void lengthReady(uint8_t byte);
    void payloadReady(std::span<const uint8_t> data);

    // Remaining lengths above this end reading before the body is asked for.
    size_t maxPacketSize() const { return m_maxPacketSize; }
    void setMaxPacketSize(size_t bytes) { m_maxPacketSize = bytes; }
    long timeout() const { return m_timeout; }
    void setTimeout(long seconds) { m_timeout = seconds; }

    // Big-endian identifier of the first two bytes; 0 when there are fewer.
    static uint16_t msgid(std::span<const uint8_t> bytes);

  private:
    void readHeader();
    void readLength();
    void readPayload();
    void frameReady();
    void malformed(const std::string& description);
    void tooLarge();
    void reset();

    AsyncSocket& m_socket;
    MqttReaderDelegate& m_delegate;
    uint8_t m_header = 0;
    size_t m_length = 0;
    Bytes m_data;
    size_t m_multiply = 1;
    int m_lengthBytes = 0;
    long m_timeout = 30000;
    size_t m_maxPacketSize = 1024 * 1024;
    bool m_stopped = false;
};

}  // namespace tgw::mqtt
