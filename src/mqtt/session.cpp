#include "mqtt/session.h"

#include <QObject>
#include <QTimer>
#include <utility>

#include "common/diagnostics.h"
#include "mqtt/codec/decode.h"
#include "mqtt/codec/frame_acks.h"
#include "mqtt/codec/frame_connect.h"
#include "mqtt/frame_buffer.h"
#include "mqtt/qt_async_socket.h"
#include "mqtt/reader.h"

namespace tgw::mqtt {

// The session's face towards its socket, reader and frame buffer: every
// callback goes straight to the session's handler of the same name.
class MqttSessionCallbacks final : public AsyncSocketDelegate,
                                   public MqttReaderDelegate,
                                   public MqttFrameBufferDelegate {
  public:
    explicit MqttSessionCallbacks(MqttSession& s) : s(s) {}

    void socketDidConnectToHost(AsyncSocket& a, const std::string& h, uint16_t p) override {
        s.socketDidConnectToHost(a, h, p);
    }
    void socketDidReceiveTrust(AsyncSocket& a, const MqttServerTrust& t,
                               std::function<void(bool)> c) override {
        s.socketDidReceiveTrust(a, t, std::move(c));
    }
    void socketDidSecure(AsyncSocket& a) override { s.socketDidSecure(a); }
    void socketDidWriteDataWithTag(AsyncSocket& a, long tag) override {
        s.socketDidWriteDataWithTag(a, tag);
    }
    void socketDidReadData(AsyncSocket& a, std::span<const uint8_t> d, long tag) override {
        s.socketDidReadData(a, d, tag);
    }
    void socketDidDisconnect(AsyncSocket& a, const std::optional<MqttError>& e) override {
        s.socketDidDisconnect(a, e);
    }
    void didReceiveConnAck(MqttReader& r, const ConnAckPacket& p) override {
        s.didReceiveConnAck(r, p);
    }
    void didReceivePublish(MqttReader& r, const PublishPacket& p) override {
        s.didReceivePublish(r, p);
    }
    void didReceiveAck(MqttReader& r, const AckPacket& p) override { s.didReceiveAck(r, p); }
    void didReceiveSubAck(MqttReader& r, const SubAckPacket& p) override {
        s.didReceiveSubAck(r, p);
    }
    void didReceivePong(MqttReader& r) override { s.didReceivePong(r); }
    void didSkipPublish(MqttReader& r, const PublishHead& h, MqttQos q, size_t n) override {
        s.didSkipPublish(r, h, q, n);
    }
    void didReceiveMalformed(MqttReader& r, const MqttError& e) override {
        s.didReceiveMalformed(r, e);
    }
    void buffer(MqttFrameBuffer& b, MqttFramePublish& f) override { s.buffer(b, f); }

  private:
    MqttSession& s;
};

namespace {

constexpr long kPingTag = -0xC0;
constexpr long kDisconnectTag = -0xE0;

// Whether a PUBLISH of these sizes can be encoded at all.
bool publishFits(size_t topicBytes, size_t payloadBytes, MqttQos qos) {
    if (topicBytes > 0xFFFF) return false;
    const size_t remaining = 2 + topicBytes + (qos == MqttQos::qos0 ? 0 : 2) + payloadBytes;
    return remaining <= kMaxRemainingLength;
}

void queueOnMainThread(QObject* context, std::function<void()> work) {
    QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

}  // namespace

MqttSession::MqttSession(std::string clientID, std::string host, uint16_t port,
                         std::unique_ptr<AsyncSocket> socket)
    : m_host(std::move(host)),
      m_port(port),
      m_clientID(std::move(clientID)),
      m_callbacks(std::make_unique<MqttSessionCallbacks>(*this)),
      m_context(std::make_unique<QObject>()),
      m_buffer(std::make_unique<MqttFrameBuffer>()),
      m_socket(socket ? std::move(socket) : std::make_unique<QtAsyncSocket>()),
      m_connectTimer(std::make_unique<QTimer>()),
      m_unknownAckTimer(std::make_unique<QTimer>()) {
    m_buffer->setDelegate(m_callbacks.get());  // paused: publishes wait for an accepted connection
    m_connectTimer->setSingleShot(true);
    QObject::connect(m_connectTimer.get(), &QTimer::timeout, m_context.get(),
                     [this] { connectTimedOut(); });
    m_unknownAckTimer->setSingleShot(true);
    m_unknownAckTimer->setInterval(std::chrono::seconds(1));
    QObject::connect(m_unknownAckTimer.get(), &QTimer::timeout, m_context.get(),
                     [this] { reportUnknownAcks(); });
}

MqttOutboundStatus MqttSession::outboundStatus() const {
    return {m_buffer->waitingCount(), m_buffer->waitingBytes(), m_unacked.size(),
            static_cast<size_t>(m_socket->bytesToWrite())};
}

MqttSession::~MqttSession() {
    m_aliveTimer.reset();
    m_connectTimer->stop();
    m_unknownAckTimer->stop();
    m_socket->setDelegate(nullptr);
    m_socket->disconnect();
    m_buffer->setDelegate(nullptr);
}

// ---- connection ----------------------------------------------------------

bool MqttSession::connect() {
    if (m_connState != MqttConnState::initial) {
        printError(
            "connect refused: this session has connected before; a new connection takes "
            "a new session");
        return false;
    }
    m_socket->setDelegate(m_callbacks.get());
    m_reader = std::make_unique<MqttReader>(*m_socket, *m_callbacks);
    m_reader->setMaxPacketSize(m_maxIncomingPacketSize);
    std::string error;
    if (!m_socket->connectToHost(m_host, m_port, error)) {
        printError("socket connect error: " + error);
        return false;
    }
    m_connState = MqttConnState::connecting;
    m_connectTimer->start(m_connectTimeout);
    return true;
}

void MqttSession::connectTimedOut() {
    if (m_connState != MqttConnState::connecting) return;
    const auto ms = m_connectTimeout.count();
    const std::string limit =
        ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
    qCWarning(lcConnection).nospace() << "connecting to " << m_host.c_str() << ":" << m_port
                                      << " timed out after " << limit.c_str();
    m_socket->disconnectWithError(
        {"the broker did not complete the connection (TCP, TLS, CONNACK) within " + limit,
         MqttErrorKind::connectTimeout});
}

void MqttSession::socketDidConnectToHost(AsyncSocket&, const std::string& host, uint16_t port) {
    if (debugEnabled()) printDebug("connected to " + host + " : " + std::to_string(port));
    if (!m_enableSSL) {
        sendConnectFrame();
        return;
    }
    AsyncSocketTlsSettings settings;
    settings.extraCaCertificates = m_extraCaCertificates;
    m_socket->startTLS(settings);
}

void MqttSession::socketDidReceiveTrust(AsyncSocket&, const MqttServerTrust& trust,
                                        std::function<void(bool)> completion) {
    printDebug("didReceiveTrust");
    // Without a delegate that judges certificates nobody can vouch for this one:
    // refuse rather than leave the handshake waiting forever.
    if (m_delegate && m_delegate->evaluatesTrust()) {
        m_delegate->didReceiveTrust(*this, trust, std::move(completion));
    } else {
        completion(false);
    }
}

void MqttSession::socketDidSecure(AsyncSocket&) {
    printDebug("socketDidSecure");
    sendConnectFrame();
}

void MqttSession::sendConnectFrame() {
    MqttFrameConnect frame(*this);
    if (!send(frame, 0)) {
        m_socket->disconnectWithError({"the CONNECT packet could not be encoded"});
        return;
    }
    m_pingOutstanding = m_inboundSincePing = false;
    m_reader->start();
}

void MqttSession::socketDidWriteDataWithTag(AsyncSocket&, long tag) {
    if (debugEnabled()) printDebug("Socket write message with tag: " + std::to_string(tag));
    if (m_reader && m_reader->held()) applyBackPressure();
}

void MqttSession::socketDidReadData(AsyncSocket&, std::span<const uint8_t> data, long tag) {
    m_inboundSincePing = true;
    if (m_reader) m_reader->dataReady(data, tag);
}

void MqttSession::applyBackPressure() {
    // Our publishes in flight may sit in the socket on a slow link; what is
    // held beyond them and the allowance is what we answered to a broker that
    // does not read. Reading on would only make more of it. Reading resumes
    // once half the allowance has gone, not at every byte the broker takes.
    const uint64_t held = m_socket->bytesToWrite();
    const uint64_t limit = m_unackedBytes + kAckAllowance;
    const bool hold = m_reader->held() ? held > limit - kAckAllowance / 2 : held > limit;
    if (hold != m_reader->held()) {
        qCDebug(lcConnection).nospace()
            << held << " bytes held for the broker; reading " << (hold ? "paused" : "resumed");
    }
    m_reader->setHeld(hold);
}

void MqttSession::socketDidDisconnect(AsyncSocket&, const std::optional<MqttError>& error) {
    m_socket->setDelegate(nullptr);
    m_connectTimer->stop();
    m_buffer->setPaused(true);
    m_connState = MqttConnState::disconnected;
    if (m_reader) m_reader->stop();
    if (error) {
        qCInfo(lcConnection).nospace() << "connection to " << m_host.c_str() << ":" << m_port
                                       << " ended: " << error->description.c_str();
    }
    reportUnknownAcks();
    if (m_delegate) m_delegate->didDisconnect(*this, error);
}

void MqttSession::didReceiveConnAck(MqttReader&, const ConnAckPacket& packet) {
    if (debugEnabled()) printDebug("CONNACK Received: " + std::to_string(packet.returnCode));
    m_connectTimer->stop();
    const MqttConnAck ack = connAckFromCode(packet.returnCode);
    if (ack == MqttConnAck::accepted) {
        m_connState = MqttConnState::connected;
    } else {
        internalDisconnect();
    }
    if (m_delegate) m_delegate->didConnectAck(*this, ack);
    if (ack != MqttConnAck::accepted) return;
    m_buffer->setPaused(false);
    if (m_keepAlive == 0) return;
    queueOnMainThread(m_context.get(), [this] {
        m_aliveTimer = std::make_unique<QTimer>();
        QObject::connect(m_aliveTimer.get(), &QTimer::timeout, m_context.get(),
                         [this] { keepAliveTick(); });
        m_aliveTimer->start(std::chrono::seconds(m_keepAlive / 2 + 1));
    });
}

void MqttSession::keepAliveTick() {
    if (m_connState != MqttConnState::connected) {
        m_aliveTimer->stop();
        return;
    }
    const auto progress = m_socket->transmitProgress();
    // A PINGREQ went out a whole period ago and not one byte has come back since:
    // the link is dead even if TCP has not noticed (broker host gone, cable pulled)
    // unless our own bytes were still on their way at the last tick and the
    // peer has acknowledged more of them since. Then the link drains slowly and
    // the PINGREQ is still queued behind them: the period does not count.
    if (m_pingOutstanding && !m_inboundSincePing && m_socket->bytesReceived() == m_receivedAtPing) {
        const bool draining =
            progress && m_unackedAtTick > 0 && progress->bytesAcked > m_ackedAtTick;
        if (!draining) {
            m_aliveTimer->stop();
            qCWarning(lcConnection) << "no answer from the broker within the keep-alive period";
            m_socket->disconnectWithError({"no answer from the broker within the keep-alive period",
                                           MqttErrorKind::keepAliveTimeout});
            return;
        }
        m_ackedAtTick = progress->bytesAcked;
        m_unackedAtTick = progress->bytesUnacked;
        return;
    }
    m_ackedAtTick = progress ? progress->bytesAcked : 0;
    m_unackedAtTick = progress ? progress->bytesUnacked : 0;
    ping();
}

void MqttSession::ping() {
    printDebug("ping");
    MqttFrame frame(MqttFrameType::pingreq);
    send(frame, kPingTag);
    m_pingOutstanding = true;
    m_inboundSincePing = false;
    m_receivedAtPing = m_socket->bytesReceived();
    if (m_delegate) m_delegate->didPing(*this);
}

void MqttSession::didReceivePong(MqttReader&) {
    printDebug("PONG Received");
    if (m_delegate) m_delegate->didReceivePong(*this);
}

void MqttSession::didReceiveMalformed(MqttReader&, const MqttError& error) {
    qCWarning(lcConnection) << "closing the connection:" << error.description.c_str();
    m_socket->disconnectWithError(error);
}

void MqttSession::disconnect() {
    internalDisconnect();
}

void MqttSession::internalDisconnect() {
    MqttFrame frame(MqttFrameType::disconnect);
    send(frame, kDisconnectTag);
    // Nothing more is read, delivered or acknowledged after DISCONNECT (MQTT
    // 3.1.1, 3.14.4): a command read now could no longer be answered.
    if (m_reader) m_reader->stop();
    m_socket->disconnect();
}

bool MqttSession::send(const MqttFrame& frame, long tag) {
    // A payload field of its own goes after the head, from where it is.
    if (send(frame, tag, frame.payload(), false)) return true;
    const auto bytes = frame.data();
    if (!bytes) return unencodable();
    m_socket->writeData(*bytes, -1, tag);
    if (m_reader && !m_reader->held()) applyBackPressure();
    return true;
}

bool MqttSession::send(const MqttFrame& frame, long tag, std::span<const uint8_t> payload,
                       bool sayWhenUnencodable) {
    m_packet.clear();
    if (!frame.appendHead(m_packet, payload.size()))
        return sayWhenUnencodable ? unencodable() : false;
    // A small packet goes in one write; a large payload is not copied to join its head.
    if (payload.size() <= kJoinedPayloadBytes) {
        m_packet.insert(m_packet.end(), payload.begin(), payload.end());
        m_socket->writeData(m_packet, -1, tag);
    } else {
        m_socket->writeData(m_packet, -1, tag);
        m_socket->writeData(payload, -1, tag);
    }
    if (m_reader && !m_reader->held()) applyBackPressure();
    return true;
}

bool MqttSession::unencodable() {
    printError(
        "packet not sent: a text longer than 65535 bytes or a packet longer than "
        "268435455 bytes cannot be encoded");
    return false;
}

uint16_t MqttSession::nextMessageID() {
    for (int tries = 0; tries < 65535; ++tries) {
        m_gmid = m_gmid == 65535 ? 1 : m_gmid + 1;
        if (!m_unacked.contains(m_gmid) && !m_subscriptionsWaitingAck.contains(m_gmid) &&
            !m_unsubscriptionsWaitingAck.contains(m_gmid)) {
            return m_gmid;
        }
    }
    printError("no packet id is free: 65535 publishes and subscriptions await their answer");
    return 0;
}

// ---- operations ----------------------------------------------------------

uint16_t MqttSession::publish(const MqttMessage& message) {
    return publishBytes(message.topic(), message.payload(), message.qos(), message.retained(),
                        message.dup());
}

uint16_t MqttSession::publish(const std::string& topic, std::string_view string, MqttQos qos,
                              bool retained, bool dup) {
    return publishBytes(
        topic, std::span(reinterpret_cast<const uint8_t*>(string.data()), string.size()), qos,
        retained, dup);
}

uint16_t MqttSession::publishBytes(const std::string& topic, std::span<const uint8_t> payload,
                                   MqttQos qos, bool retained, bool dup) {
    const uint16_t id = nextMessageID();
    if (id == 0) return 0;
    if (!publishFits(topic.size(), payload.size(), qos)) {
        printError("message(" + std::to_string(id) + ") not sent: topic of " +
                   std::to_string(topic.size()) + " bytes and payload of " +
                   std::to_string(payload.size()) + " bytes do not fit one MQTT packet");
        return 0;
    }
    // Written at once, the payload goes from the caller to the socket without
    // a copy in a message or a frame; only a frame that must wait keeps one.
    const bool writesNow = m_buffer->writesThrough();
    MqttFramePublish frame(id, topic, writesNow ? Bytes() : Bytes(payload.begin(), payload.end()));
    frame.setQos(static_cast<uint8_t>(qos));
    frame.setRetained(retained);
    frame.setDup(dup);
    if (qos != MqttQos::qos0) {
        const size_t bytes = MqttFrameBuffer::frameBytes(frame) + (writesNow ? payload.size() : 0);
        m_unacked.emplace(id, bytes);
        m_unackedBytes += bytes;
    }
    if (writesNow)
        send(frame, id, payload);
    else
        m_buffer->add(std::move(frame));
    if (m_delegate) m_delegate->didPublishMessage(*this, topic, id);
    return id;
}

void MqttSession::buffer(MqttFrameBuffer&, MqttFramePublish& frame) {
    send(frame, frame.msgid().value_or(0));
}

bool MqttSession::settle(uint16_t msgid) {
    const auto it = m_unacked.find(msgid);
    if (it == m_unacked.end()) return false;
    m_unackedBytes -= it->second;
    m_unacked.erase(it);
    return true;
}

uint16_t MqttSession::subscribe(const std::string& topic, MqttQos qos) {
    const uint16_t id = nextMessageID();
    if (id == 0) return 0;
    MqttFrameSubscribe frame(id, topic, static_cast<uint8_t>(qos));
    if (!send(frame, id)) return 0;
    m_subscriptionsWaitingAck[id] = {{topic, qos}};
    return id;
}

uint16_t MqttSession::unsubscribe(const std::string& topic) {
    const uint16_t id = nextMessageID();
    if (id == 0) return 0;
    MqttFrameUnsubscribe frame(id, topic);
    m_unsubscriptionsWaitingAck[id] = {{topic, MqttQos::qos0}};
    if (!send(frame, id)) {
        m_unsubscriptionsWaitingAck.erase(id);
        return 0;
    }
    return id;
}

void MqttSession::puback(MqttFrameType type, uint16_t msgid) {
    if (debugEnabled()) {
        printDebug(std::string("Send ") + packetName(type) + ", msgid: " + std::to_string(msgid));
    }
    MqttFramePubAck frame(type, msgid);
    send(frame, 0);
}

// ---- received packets ----------------------------------------------------

void MqttSession::didReceivePublish(MqttReader&, const PublishPacket& packet) {
    const MqttMessage& message = packet.message;
    if (debugEnabled()) printDebug("PUBLISH Received from " + message.topic());
    if (m_delegate) m_delegate->didReceiveMessage(*this, message, packet.id);
    acknowledgePublish(message.qos(), packet.id);
}

void MqttSession::didSkipPublish(MqttReader&, const PublishHead& head, MqttQos qos, size_t bytes) {
    qCWarning(lcConnection).nospace()
        << "skipped a message on " << head.topic.c_str() << " of " << bytes
        << " bytes: larger than the limit of " << m_maxIncomingPacketSize << " bytes";
    if (m_delegate) m_delegate->didSkipOversizedMessage(*this, head.topic, bytes);
    // Acknowledged all the same, so the broker does not send it again.
    acknowledgePublish(qos, head.id);
}

// PUBACK for QoS 1, PUBREC for QoS 2 (MQTT 3.1.1, 4.3.2 and 4.3.3).
void MqttSession::acknowledgePublish(MqttQos qos, uint16_t msgid) {
    if (qos == MqttQos::qos1) {
        puback(MqttFrameType::puback, msgid);
    } else if (qos == MqttQos::qos2) {
        puback(MqttFrameType::pubrec, msgid);
    }
}

void MqttSession::didReceiveAck(MqttReader&, const AckPacket& packet) {
    const uint16_t msgid = packet.id;
    switch (packet.type) {
        case MqttFrameType::puback:
            if (debugEnabled()) printDebug("PUBACK Received: " + std::to_string(msgid));
            if (!settle(msgid)) return unknownAck();
            if (m_delegate) m_delegate->didPublishAck(*this, msgid);
            break;
        case MqttFrameType::pubrec:
            if (debugEnabled()) printDebug("PUBREC Received: " + std::to_string(msgid));
            // Only a publish of ours in flight is released: answering every
            // PUBREC would let a broker make us write without bound.
            if (!m_unacked.contains(msgid)) return unknownAck();
            puback(MqttFrameType::pubrel, msgid);
            break;
        case MqttFrameType::pubrel:
            if (debugEnabled()) printDebug("PUBREL Received: " + std::to_string(msgid));
            puback(MqttFrameType::pubcomp, msgid);
            break;
        case MqttFrameType::pubcomp:
            if (debugEnabled()) printDebug("PUBCOMP Received: " + std::to_string(msgid));
            if (!settle(msgid)) return unknownAck();
            if (m_delegate && m_delegate->handlesPublishComplete()) {
                m_delegate->didPublishComplete(*this, msgid);
            }
            break;
        default: didReceiveUnsubAck(msgid); break;
    }
}

void MqttSession::unknownAck() {
    ++m_unknownAcks;
    if (!m_unknownAckTimer->isActive()) m_unknownAckTimer->start();
}

void MqttSession::reportUnknownAcks() {
    m_unknownAckTimer->stop();
    if (m_unknownAcks == 0) return;
    const uint64_t count = std::exchange(m_unknownAcks, 0);
    if (m_delegate) m_delegate->didIgnoreUnknownAcks(*this, count);
}

void MqttSession::didReceiveSubAck(MqttReader&, const SubAckPacket& packet) {
    const uint16_t msgid = packet.id;
    if (debugEnabled()) printDebug("SUBACK Received: " + std::to_string(msgid));
    const auto waiting = m_subscriptionsWaitingAck.find(msgid);
    if (waiting == m_subscriptionsWaitingAck.end()) {
        printWarning("UNEXPECT SUBACK Received: " + std::to_string(msgid));
        return;
    }
    if (packet.returnCodes.size() != waiting->second.size()) {
        m_reader->stop();
        m_socket->disconnectWithError(
            {"malformed packet from the broker: SUBACK with " +
                 std::to_string(packet.returnCodes.size()) + " return codes for " +
                 std::to_string(waiting->second.size()) + " topic filter(s)",
             MqttErrorKind::malformedPacket});
        return;
    }
    auto entry = std::move(waiting->second);
    m_subscriptionsWaitingAck.erase(waiting);
    const std::string topic = entry.begin()->first;
    if (packet.returnCodes.front() == 0x80) {
        // Nothing would ever arrive on the topic: not a subscription to report.
        m_socket->disconnectWithError({"the broker refused the subscription to " + topic,
                                       MqttErrorKind::subscriptionRefused});
        return;
    }
    std::erase_if(m_subscriptions, [&](const auto& s) { return s.second.contains(topic); });
    m_subscriptions[msgid] = std::move(entry);
    if (m_delegate) m_delegate->didSubscribeTopic(*this, topic);
}

void MqttSession::didReceiveUnsubAck(uint16_t msgid) {
    if (debugEnabled()) printDebug("UNSUBACK Received: " + std::to_string(msgid));
    const auto waiting = m_unsubscriptionsWaitingAck.find(msgid);
    if (waiting == m_unsubscriptionsWaitingAck.end()) {
        printWarning("UNEXPECT UNSUBACK Received: " + std::to_string(msgid));
        return;
    }
    const std::string topic = waiting->second.begin()->first;
    m_unsubscriptionsWaitingAck.erase(waiting);
    std::erase_if(m_subscriptions, [&](const auto& s) { return s.second.contains(topic); });
    if (m_delegate) m_delegate->didUnsubscribeTopic(*this, topic);
}

}  // namespace tgw::mqtt
