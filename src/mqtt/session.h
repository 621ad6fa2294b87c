// MqttSession: the MQTT 3.1.1 client for one connection. Its owner makes and
// configures it, calls connect() once and learns everything else through its
// MqttDelegate; once that connection has ended the session stays ended, and
// trying again takes a new session. The session is the transport only: it
// writes what it is given, holds reading while the broker does not take our
// bytes, and reports each publish acknowledged or the connection lost. How
// many publishes are in flight, how much may wait and what is sent again on
// the next connection is its owner's to decide. Runs on the main thread's
// event loop: socket callbacks, timers (keep-alive, frame timeouts) and
// delegate calls.
// Owns its socket, reader and frame buffer; those, and the timers, stay inside
// session.cpp, so including this header brings in no more than the client's
// interface and the socket's.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "mqtt/async_socket.h"
#include "mqtt/codec/client.h"
#include "mqtt/codec/logger.h"

class QObject;
class QTimer;

namespace tgw::mqtt {

class MqttFrame;
class MqttFrameBuffer;
class MqttFramePublish;
class MqttReader;
class MqttSessionCallbacks;
struct AckPacket;
struct ConnAckPacket;
struct PublishHead;
struct PublishPacket;
struct SubAckPacket;
enum class MqttFrameType : uint8_t;

// What the session holds for the broker, at the moment of asking.
struct MqttOutboundStatus {
    size_t waiting = 0;  // publishes made before the CONNACK, not yet written
    size_t waitingBytes = 0;
    size_t inFlight = 0;     // QoS 1 and 2 publishes awaiting their acknowledgement
    size_t socketBytes = 0;  // written and still held in this process, acknowledgements included
    size_t waitingCount() const { return waiting; }
    size_t inFlightCount() const { return inFlight; }
};

enum class MqttConnState : uint8_t { initial = 0, connecting = 1, connected = 2, disconnected = 3 };

class MqttSession final : public MqttClient {
  public:
    using Subscriptions = std::map<uint16_t, std::map<std::string, MqttQos>>;

    // `socket` defaults to a QtAsyncSocket; tests pass a scripted one.
    explicit MqttSession(std::string clientID, std::string host = "localhost", uint16_t port = 1883,
                         std::unique_ptr<AsyncSocket> socket = nullptr);
    ~MqttSession() override;
    MqttSession(const MqttSession&) = delete;
    MqttSession& operator=(const MqttSession&) = delete;

    // MqttClient
    std::string host() const override { return m_host; }
    uint16_t port() const override { return m_port; }
    std::string clientID() const override { return m_clientID; }
    std::optional<std::string> username() const override { return m_username; }
    void setUsername(std::optional<std::string> u) override { m_username = std::move(u); }
    std::optional<std::string> password() const override { return m_password; }
    void setPassword(std::optional<std::string> p) override { m_password = std::move(p); }
    bool cleanSession() const override { return m_cleanSession; }
    void setCleanSession(bool clean) override { m_cleanSession = clean; }
    uint16_t keepAlive() const override { return m_keepAlive; }
    void setKeepAlive(uint16_t seconds) override { m_keepAlive = seconds; }
    std::optional<MqttWill> willMessage() const override { return m_willMessage; }
    void setWillMessage(std::optional<MqttWill> will) override { m_willMessage = std::move(will); }

    // False (logged) when the socket refuses, or when this session has
    // connected before: a session is one connection.
    bool connect() override;
    void disconnect() override;
    void ping() override;
    uint16_t subscribe(const std::string& topic, MqttQos qos = MqttQos::qos1) override;
    uint16_t unsubscribe(const std::string& topic) override;
    using MqttClient::publish;
    // Returns 0, without didPublishMessage, only when no packet id is free
    // (65,535 in use) or the message cannot be encoded; nothing is refused for
    // its size or number. Publishes made before the CONNACK wait for it;
    // whatever is not acknowledged when the connection ends is gone with it.
    uint16_t publish(const MqttMessage& message) override;
    uint16_t publish(const std::string& topic, std::string_view string, MqttQos qos = MqttQos::qos1,
                     bool retained = false, bool dup = false) override;

    // Non-owning: the delegate must outlive the session or unset itself.
    MqttDelegate* delegate() const { return m_delegate; }
    void setDelegate(MqttDelegate* delegate) { m_delegate = delegate; }

    MqttConnState connState() const { return m_connState; }
    // TLS with the system store's verification (plus the extra CAs below);
    // a certificate that fails it ends the connection.
    bool enableSSL() const { return m_enableSSL; }
    void setEnableSSL(bool v) { m_enableSSL = v; }
    // CA certificates (PEM or DER) trusted besides the system store on every
    // TLS start; they never switch verification off.
    const std::vector<Bytes>& extraCaCertificates() const { return m_extraCaCertificates; }
    void setExtraCaCertificates(std::vector<Bytes> c) { m_extraCaCertificates = std::move(c); }

    // TCP connect, TLS handshake and CONNACK must all be done within this;
    // otherwise the connection ends with an error of kind connectTimeout.
    std::chrono::milliseconds connectTimeout() const { return m_connectTimeout; }
    void setConnectTimeout(std::chrono::milliseconds t) { m_connectTimeout = t; }
    // A packet from the broker with a larger remaining length ends the
    // connection (kind packetTooLarge) before its body is read, except a
    // PUBLISH: that one is read and dropped as it arrives, acknowledged as its
    // QoS asks, logged and reported (didSkipOversizedMessage).
    size_t maxIncomingPacketSize() const { return m_maxIncomingPacketSize; }
    void setMaxIncomingPacketSize(size_t bytes) { m_maxIncomingPacketSize = bytes; }
    // Reading from the broker pauses while this process holds more than
    // kAckAllowance bytes beyond the publishes in flight, until the broker
    // reads again: a broker that floods PUBREL and never reads costs no more.
    MqttLoggerLevel logLevel() const { return MqttLogger::logger().minLevel(); }
    void setLogLevel(MqttLoggerLevel l) { MqttLogger::logger().setMinLevel(l); }

    const Subscriptions& subscriptions() const { return m_subscriptions; }
    const Subscriptions& subscriptionsWaitingAck() const { return m_subscriptionsWaitingAck; }
    const Subscriptions& unsubscriptionsWaitingAck() const { return m_unsubscriptionsWaitingAck; }
    // The last message identifier handed out ("global message id"): PUBLISH,
    // SUBSCRIBE and UNSUBSCRIBE share one counter, and an id still in use
    // (QoS 1 or 2 publish unacknowledged, subscribe or unsubscribe unanswered)
    // is skipped.
    uint16_t gmid() const { return m_gmid; }
    MqttOutboundStatus outboundStatus() const;
    // The same, under the name existing callers use.
    MqttOutboundStatus frameBuffer() const { return outboundStatus(); }

    static constexpr size_t kAckAllowance = 1024 * 1024;

  private:
    friend class MqttSessionCallbacks;  // forwards socket, reader and buffer callbacks here

    // MqttFrameBufferDelegate
    void buffer(MqttFrameBuffer& buffer, MqttFramePublish& frame);
    // AsyncSocketDelegate
    void socketDidConnectToHost(AsyncSocket&, const std::string& host, uint16_t port);
    void socketDidReceiveTrust(AsyncSocket&, const MqttServerTrust& trust,
                               std::function<void(bool)> completion);
    void socketDidSecure(AsyncSocket&);
    void socketDidWriteDataWithTag(AsyncSocket&, long tag);
    void socketDidReadData(AsyncSocket&, std::span<const uint8_t> data, long tag);
    void socketDidDisconnect(AsyncSocket&, const std::optional<MqttError>& error);
    // MqttReaderDelegate
    void didReceiveConnAck(MqttReader&, const ConnAckPacket& packet);
    void didReceivePublish(MqttReader&, const PublishPacket& packet);
    void didReceiveAck(MqttReader&, const AckPacket& packet);
    void didReceiveSubAck(MqttReader&, const SubAckPacket& packet);
    void didReceiveUnsubAck(uint16_t msgid);
    void didReceivePong(MqttReader&);
    void didSkipPublish(MqttReader&, const PublishHead& head, MqttQos qos, size_t bytes);
    void didReceiveMalformed(MqttReader&, const MqttError& error);

    // Writes the frame's bytes; false (logged) when it cannot be encoded.
    uint16_t publishBytes(const std::string& topic, std::span<const uint8_t> payload, MqttQos qos,
                          bool retained, bool dup);
    bool send(const MqttFrame& frame, long tag = 0);
    // The frame's head, then `payload` in place of its payload field.
    bool send(const MqttFrame& frame, long tag, std::span<const uint8_t> payload,
              bool sayWhenUnencodable = true);
    static constexpr size_t kJoinedPayloadBytes = 64 * 1024;
    bool unencodable();
    void sendConnectFrame();
    uint16_t nextMessageID();
    void puback(MqttFrameType type, uint16_t msgid);
    void acknowledgePublish(MqttQos qos, uint16_t msgid);
    void internalDisconnect();
    void keepAliveTick();
    void connectTimedOut();
    // Holds or releases reading by what this process holds for the broker.
    void applyBackPressure();
    // Forgets the acknowledged publish `msgid`; false when none was in flight.
    bool settle(uint16_t msgid);
    void unknownAck();
    void reportUnknownAcks();

    std::string m_host;
    uint16_t m_port;
    std::string m_clientID;
    std::optional<std::string> m_username;
    std::optional<std::string> m_password;
    bool m_cleanSession = true;
    std::optional<MqttWill> m_willMessage;
    MqttDelegate* m_delegate = nullptr;
    MqttConnState m_connState = MqttConnState::initial;
    uint16_t m_keepAlive = 60;
    bool m_enableSSL = false;
    std::vector<Bytes> m_extraCaCertificates;
    Subscriptions m_subscriptions;
    Subscriptions m_subscriptionsWaitingAck;
    Subscriptions m_unsubscriptionsWaitingAck;
    uint16_t m_gmid = 1;
    // QoS 1 and 2 publishes awaiting their acknowledgement, with their wire
    // size: the ids in use and what counts as ours in the socket.
    std::unordered_map<uint16_t, size_t> m_unacked;
    size_t m_unackedBytes = 0;
    // Keep-alive bookkeeping: a PINGREQ is outstanding and nothing has arrived since.
    bool m_pingOutstanding = false;
    bool m_inboundSincePing = false;
    uint64_t m_receivedAtPing = 0;  // the socket's received-byte count at the last PINGREQ
    uint64_t m_unknownAcks = 0;     // since they were last reported
    // What the peer had acknowledged, and what of ours was still unacknowledged,
    // at the last keep-alive tick.
    uint64_t m_ackedAtTick = 0;
    uint64_t m_unackedAtTick = 0;
    std::chrono::milliseconds m_connectTimeout{30000};
    size_t m_maxIncomingPacketSize = 1024 * 1024;

    std::unique_ptr<MqttSessionCallbacks> m_callbacks;  // first made, last gone
    std::unique_ptr<QObject> m_context;  // receiver of queued work and of timer signals
    std::unique_ptr<MqttFrameBuffer> m_buffer;
    std::unique_ptr<AsyncSocket> m_socket;
    std::unique_ptr<MqttReader> m_reader;
    std::unique_ptr<QTimer> m_aliveTimer;
    std::unique_ptr<QTimer> m_connectTimer;
    std::unique_ptr<QTimer> m_unknownAckTimer;
    Bytes m_packet;  // the packet being written, its room kept for the next
};

}  // namespace tgw::mqtt
