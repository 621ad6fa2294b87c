#include "mqtt/session.h"

#include <QObject>
#include <QTimer>

#include "common/diagnostics.h"
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
    void didReceiveConnAck(MqttReader& r, uint8_t c) override { s.didReceiveConnAck(r, c); }
    void didReceivePublish(MqttReader& r, const MqttMessage& m, uint16_t id) override {
        s.didReceivePublish(r, m, id);
    }
    void didReceivePubAck(MqttReader& r, uint16_t id) override { s.didReceivePubAck(r, id); }
    void didReceivePubRec(MqttReader& r, uint16_t id) override { s.didReceivePubRec(r, id); }
    void didReceivePubRel(MqttReader& r, uint16_t id) override { s.didReceivePubRel(r, id); }
    void didReceivePubComp(MqttReader& r, uint16_t id) override { s.didReceivePubComp(r, id); }
    void didReceiveSubAck(MqttReader& r, uint16_t id, uint8_t code) override {
        s.didReceiveSubAck(r, id, code);
    }
    void didReceiveUnsubAck(MqttReader& r, uint16_t id) override { s.didReceiveUnsubAck(r, id); }
    void didReceivePong(MqttReader& r) override { s.didReceivePong(r); }
    void didReceiveMalformed(MqttReader& r, const MqttError& e) override {
        s.didReceiveMalformed(r, e);
    }
    void buffer(MqttFrameBuffer& b, MqttFramePublish& f) override { s.buffer(b, f); }
    void bufferDidGiveUp(MqttFrameBuffer& b, uint16_t id) override { s.bufferDidGiveUp(b, id); }

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
      m_connectTimer(std::make_unique<QTimer>()) {
    m_buffer->setDelegate(m_callbacks.get());
    m_buffer->setPaused(true);  // publishes wait for an accepted connection
    m_connectTimer->setSingleShot(true);
    QObject::connect(m_connectTimer.get(), &QTimer::timeout, m_context.get(),
                     [this] { connectTimedOut(); });
}

size_t MqttSession::maxOutboundBytes() const {
    return m_buffer->maxWaitingBytes();
}
void MqttSession::setMaxOutboundBytes(size_t bytes) {
    m_buffer->setMaxWaitingBytes(bytes);
}
double MqttSession::bufferSilosTimeout() const {
    return m_buffer->timeout();
}
void MqttSession::setBufferSilosTimeout(double s) {
    m_buffer->setTimeout(s);
}
size_t MqttSession::bufferSilosMaxNumber() const {
    return m_buffer->silosMaxNumber();
}
void MqttSession::setBufferSilosMaxNumber(size_t n) {
    m_buffer->setSilosMaxNumber(n);
}
MqttOutboundStatus MqttSession::outboundStatus() const {
    return {m_buffer->waitingCount(), m_buffer->waitingBytes(), m_buffer->inFlightCount(),
            m_buffer->abandonedCount()};
}

MqttSession::~MqttSession() {
    m_aliveTimer.reset();
    m_autoReconnTimer.reset();
    m_connectTimer->stop();
    m_socket->setDelegate(nullptr);
    m_socket->disconnect();
    m_buffer->setDelegate(nullptr);
}

// ---- connection ----------------------------------------------------------

bool MqttSession::connect() {
    m_socket->setDelegate(m_callbacks.get());
    if (m_reader) m_reader->stop();
    m_retiredReader = std::move(m_reader);
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
    if (m_sslSettings) {
        m_sslSettings->manuallyEvaluateTrust = true;
        settings = *m_sslSettings;
    } else {
        settings.manuallyEvaluateTrust = m_allowUntrustCACertificate;
    }
    settings.extraCaCertificates.insert(settings.extraCaCertificates.end(),
                                        m_extraCaCertificates.begin(), m_extraCaCertificates.end());
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
}

void MqttSession::socketDidReadData(AsyncSocket&, std::span<const uint8_t> data, long tag) {
    m_inboundSincePing = true;
    if (!m_reader || data.empty()) return;
    switch (static_cast<MqttReadTag>(tag)) {
        case MqttReadTag::header: m_reader->headerReady(data[0]); break;
        case MqttReadTag::length: m_reader->lengthReady(data[0]); break;
        case MqttReadTag::payload: m_reader->payloadReady(data); break;
    }
}

void MqttSession::socketDidDisconnect(AsyncSocket&, const std::optional<MqttError>& error) {
    m_socket->setDelegate(nullptr);
    m_connectTimer->stop();
    m_buffer->setPaused(true);
    m_connState = MqttConnState::disconnected;
    if (error) {
        qCInfo(lcConnection).nospace() << "connection to " << m_host.c_str() << ":" << m_port
                                       << " ended: " << error->description.c_str();
    }
    if (m_delegate) m_delegate->didDisconnect(*this, error);
    queueOnMainThread(m_context.get(), [this] {
        m_autoReconnTimer.reset();
        if (m_disconnectExpectedly || !m_autoReconnect || m_autoReconnectTimeInterval == 0) return;
        m_autoReconnTimer = std::make_unique<QTimer>();
        QObject::connect(m_autoReconnTimer.get(), &QTimer::timeout, m_context.get(), [this] {
            printDebug("try reconnect");
            connect();
        });
        m_autoReconnTimer->start(std::chrono::seconds(m_autoReconnectTimeInterval));
    });
}

void MqttSession::didReceiveConnAck(MqttReader&, uint8_t connack) {
    if (debugEnabled()) printDebug("CONNACK Received: " + std::to_string(connack));
    m_connectTimer->stop();
    const MqttConnAck ack = connAckFromCode(connack);
    if (ack == MqttConnAck::accepted) {
        m_connState = MqttConnState::connected;
    } else {
        internalDisconnect();
    }
    if (m_delegate) m_delegate->didConnectAck(*this, ack);
    if (ack != MqttConnAck::accepted) return;
    // What the last connection left unacknowledged goes first, with its own
    // id and DUP set: owners match acknowledgements to the ids they were given.
    m_buffer->requeueInFlight();
    m_buffer->setPaused(false);
    if (m_autoReconnTimer) m_autoReconnTimer->stop();
    m_disconnectExpectedly = false;
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
    if (m_pingOutstanding && !m_inboundSincePing) {
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
    m_disconnectExpectedly = true;
    internalDisconnect();
}

void MqttSession::internalDisconnect() {
    MqttFrame frame(MqttFrameType::disconnect);
    send(frame, kDisconnectTag);
    m_socket->disconnect();
}

bool MqttSession::send(const MqttFrame& frame, long tag) {
    const auto bytes = frame.data();
    if (!bytes) {
        printError(
            "packet not sent: a text longer than 65535 bytes or a packet longer than "
            "268435455 bytes cannot be encoded");
        return false;
    }
    m_socket->writeData(*bytes, -1, tag);
    return true;
}

uint16_t MqttSession::nextMessageID() {
    if (m_gmid == 65535) m_gmid = 0;
    return ++m_gmid;
}

// ---- operations ----------------------------------------------------------

uint16_t MqttSession::publish(const MqttMessage& message) {
    const uint16_t id = nextMessageID();
    if (!publishFits(message.topic().size(), message.payload().size(), message.qos())) {
        printError("message(" + std::to_string(id) + ") not sent: topic of " +
                   std::to_string(message.topic().size()) + " bytes and payload of " +
                   std::to_string(message.payload().size()) + " bytes do not fit one MQTT packet");
        return 0;
    }
    MqttFramePublish frame(id, message.topic(), message.payload());
    frame.setQos(static_cast<uint8_t>(message.qos()));
    frame.setRetained(message.retained());
    frame.setDup(message.dup());
    if (!m_buffer->add(std::move(frame))) return 0;  // refused: logged and counted by the buffer
    if (m_delegate) m_delegate->didPublishMessage(*this, message, id);
    return id;
}

void MqttSession::buffer(MqttFrameBuffer&, MqttFramePublish& frame) {
    send(frame, frame.msgid().value_or(0));
}

void MqttSession::bufferDidGiveUp(MqttFrameBuffer&, uint16_t msgid) {
    if (m_connState == MqttConnState::connected) {
        qCWarning(lcConnection).nospace()
            << "message " << msgid << " was not acknowledged within " << m_buffer->timeout()
            << " s on a live connection; given up";
    } else {
        qCInfo(lcConnection).nospace()
            << "message " << msgid << " was not acknowledged before the connection ended";
    }
}

uint16_t MqttSession::subscribe(const std::string& topic, MqttQos qos) {
    const uint16_t id = nextMessageID();
    MqttFrameSubscribe frame(id, topic, static_cast<uint8_t>(qos));
    if (!send(frame, id)) return 0;
    m_subscriptionsWaitingAck[id] = {{topic, qos}};
    return id;
}

uint16_t MqttSession::unsubscribe(const std::string& topic) {
    const uint16_t id = nextMessageID();
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
        const char* name = nullptr;
        switch (type) {
            case MqttFrameType::puback: name = "PUBACK"; break;
            case MqttFrameType::pubrec: name = "PUBREC"; break;
            case MqttFrameType::pubrel: name = "PUBREL"; break;
            case MqttFrameType::pubcomp: name = "PUBCOMP"; break;
            default: break;
        }
        if (name) printDebug(std::string("Send ") + name + ", msgid: " + std::to_string(msgid));
    }
    MqttFramePubAck frame(type, msgid);
    send(frame, 0);
}

// ---- received packets ----------------------------------------------------

void MqttSession::didReceivePublish(MqttReader&, const MqttMessage& message, uint16_t id) {
    if (debugEnabled()) printDebug("PUBLISH Received from " + message.topic());
    if (m_delegate) m_delegate->didReceiveMessage(*this, message, id);
    if (message.qos() == MqttQos::qos1) {
        puback(MqttFrameType::puback, id);
    } else if (message.qos() == MqttQos::qos2) {
        puback(MqttFrameType::pubrec, id);
    }
}

void MqttSession::didReceivePubAck(MqttReader&, uint16_t msgid) {
    if (debugEnabled()) printDebug("PUBACK Received: " + std::to_string(msgid));
    m_buffer->sendSuccess(msgid);
    if (m_delegate) m_delegate->didPublishAck(*this, msgid);
}

void MqttSession::didReceivePubRec(MqttReader&, uint16_t msgid) {
    if (debugEnabled()) printDebug("PUBREC Received: " + std::to_string(msgid));
    puback(MqttFrameType::pubrel, msgid);
}

void MqttSession::didReceivePubRel(MqttReader&, uint16_t msgid) {
    if (debugEnabled()) printDebug("PUBREL Received: " + std::to_string(msgid));
    puback(MqttFrameType::pubcomp, msgid);
}

void MqttSession::didReceivePubComp(MqttReader&, uint16_t msgid) {
    if (debugEnabled()) printDebug("PUBCOMP Received: " + std::to_string(msgid));
    m_buffer->sendSuccess(msgid);
    if (m_delegate && m_delegate->handlesPublishComplete()) {
        m_delegate->didPublishComplete(*this, msgid);
    }
}

void MqttSession::didReceiveSubAck(MqttReader&, uint16_t msgid, uint8_t returnCode) {
    if (debugEnabled()) printDebug("SUBACK Received: " + std::to_string(msgid));
    const auto waiting = m_subscriptionsWaitingAck.find(msgid);
    if (waiting == m_subscriptionsWaitingAck.end()) {
        printWarning("UNEXPECT SUBACK Received: " + std::to_string(msgid));
        return;
    }
    auto entry = std::move(waiting->second);
    m_subscriptionsWaitingAck.erase(waiting);
    const std::string topic = entry.begin()->first;
    if (returnCode == 0x80) {
        // Nothing would ever arrive on the topic: not a subscription to report.
        m_socket->disconnectWithError({"the broker refused the subscription to " + topic,
                                       MqttErrorKind::subscriptionRefused});
        return;
    }
    std::erase_if(m_subscriptions, [&](const auto& s) { return s.second.contains(topic); });
    m_subscriptions[msgid] = std::move(entry);
    if (m_delegate) m_delegate->didSubscribeTopic(*this, topic);
}

void MqttSession::didReceiveUnsubAck(MqttReader&, uint16_t msgid) {
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
