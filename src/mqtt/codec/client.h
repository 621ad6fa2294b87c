// The boundary between an MQTT client and its owner: the operations by which
// the owner drives the client (MqttClient), the CONNACK return codes, and the
// callbacks by which the client reports (MqttDelegate). MqttSession implements
// the client; owners and their tests can work against these interfaces alone.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/codec/message.h"

namespace tgw::mqtt {

// CONNACK return codes of MQTT 3.1.1 (table 3.1); every code above 5 is reservedCode.
enum class MqttConnAck : uint8_t {
    accepted = 0,
    unacceptableProtocolVersion = 1,
    identifierRejected = 2,
    serverUnavailable = 3,
    badUserNameOrPassword = 4,
    notAuthorized = 5,
    reservedCode = 6,
};

// The acknowledgement for a raw CONNACK code (codes above 5 give reservedCode).
MqttConnAck connAckFromCode(uint8_t code);
// The case name, e.g. "notAuthorized".
const char* toString(MqttConnAck ack);

// What kind of fault ended a connection; owners decide from it whether trying
// again can help (it cannot for an untrusted certificate).
enum class MqttErrorKind : uint8_t {
    other,
    network,               // refused, reset, closed by the broker, host not found
    untrustedCertificate,  // the broker's certificate failed verification
    connectTimeout,        // TCP + TLS + CONNACK took longer than the connect timeout
    keepAliveTimeout,      // the broker stopped answering
    packetTooLarge,        // an incoming packet above the size limit
    malformedPacket,       // bytes that are not MQTT 3.1.1
    subscriptionRefused,   // SUBACK return code 0x80: the broker will not deliver the topic
};

// Why a connection ended, when it did not end cleanly.
struct MqttError {
    std::string description;
    MqttErrorKind kind = MqttErrorKind::other;
};

// What a delegate sees when asked to judge the broker's certificate itself.
struct MqttServerTrust {
    std::string host;
    std::vector<Bytes> certificateChainDer;  // leaf first
};

class MqttClient {
  public:
    virtual ~MqttClient() = default;

    // Where it connects; given when the client is made.
    virtual std::string host() const = 0;
    virtual uint16_t port() const = 0;
    virtual std::string clientID() const = 0;
    virtual std::optional<std::string> username() const = 0;
    virtual void setUsername(std::optional<std::string> username) = 0;
    virtual std::optional<std::string> password() const = 0;
    virtual void setPassword(std::optional<std::string> password) = 0;
    virtual bool cleanSession() const = 0;
    virtual void setCleanSession(bool clean) = 0;
    virtual uint16_t keepAlive() const = 0;
    virtual void setKeepAlive(uint16_t seconds) = 0;
    virtual std::optional<MqttWill> willMessage() const = 0;
    virtual void setWillMessage(std::optional<MqttWill> will) = 0;

    // True when the connect has been started; the outcome arrives by callback.
    virtual bool connect() = 0;
    virtual void disconnect() = 0;
    virtual void ping() = 0;
    // Each returns the message identifier used; 0 means no identifier was
    // free or the packet could not be encoded, and nothing was sent.
    virtual uint16_t subscribe(const std::string& topic, MqttQos qos = MqttQos::qos1) = 0;
    virtual uint16_t unsubscribe(const std::string& topic) = 0;
    virtual uint16_t publish(const MqttMessage& message) = 0;
    // The same for a text payload; a client may publish it from where it is.
    virtual uint16_t publish(const std::string& topic, std::string_view string,
                             MqttQos qos = MqttQos::qos1, bool retained = false, bool dup = false) {
        return publish(MqttMessage(topic, string, qos, retained, dup));
    }
};

// Callbacks of a client to its owner. The client holds its delegate by a
// non-owning pointer: the delegate must outlive the client or unset itself.
class MqttDelegate {
  public:
    virtual ~MqttDelegate() = default;

    virtual void didConnectAck(MqttClient& client, MqttConnAck ack) = 0;
    // The publish went out under `id`: written, or waiting for the connection.
    virtual void didPublishMessage(MqttClient& client, const std::string& topic, uint16_t id) = 0;
    // Only for ids of publishes in flight (see didIgnoreUnknownAcks).
    virtual void didPublishAck(MqttClient& client, uint16_t id) = 0;
    // Before the client's acknowledgement is written; id is 0 for QoS 0.
    virtual void didReceiveMessage(MqttClient& client, const MqttMessage& message, uint16_t id) = 0;
    virtual void didSubscribeTopic(MqttClient& client, const std::string& topic) = 0;
    virtual void didUnsubscribeTopic(MqttClient& client, const std::string& topic) = 0;
    virtual void didPing(MqttClient& client) = 0;
    virtual void didReceivePong(MqttClient& client) = 0;
    virtual void didDisconnect(MqttClient& client, const std::optional<MqttError>& error) = 0;

    // Optional: judge the broker's certificate when manual evaluation is asked
    // for. A delegate that answers true from evaluatesTrust() must call
    // `completion` exactly once, now or later.
    virtual bool evaluatesTrust() const { return false; }
    virtual void didReceiveTrust(MqttClient&, const MqttServerTrust&,
                                 std::function<void(bool)> completion) {
        completion(false);
    }
    // Optional: told on each PUBCOMP for a publish in flight.
    virtual bool handlesPublishComplete() const { return false; }
    virtual void didPublishComplete(MqttClient&, uint16_t) {}
    // Optional: a PUBLISH of `bytes` above the incoming size limit was read
    // and dropped (and acknowledged as its QoS asks); the connection stays up.
    virtual void didSkipOversizedMessage(MqttClient& /*client*/, const std::string& /*topic*/,
                                         size_t /*bytes*/) {}
    // Optional: `count` acknowledgements (PUBACK, PUBREC, PUBCOMP) for ids not
    // in flight arrived since the last call; they reach no other callback.
    // Called at most once a second, and at the end of the connection for what
    // is left.
    virtual void didIgnoreUnknownAcks(MqttClient& /*client*/, uint64_t /*count*/) {}
};

}  // namespace tgw::mqtt
