#include "app/broker/broker_link.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QLocale>
#include <QRandomGenerator>
#include <QSysInfo>
#include <algorithm>
#include <utility>

#include "app/config/config.h"
#include "app/queries/console_text.h"
#include "app/protocol/mqtt_api.h"
#include "common/console.h"
#include "common/diagnostics.h"
#include "mqtt/session.h"
#include "mqtt/tls_trust.h"

namespace tgw::app {

using mqtt::MqttClient;
using mqtt::MqttConnAck;
using mqtt::MqttQos;

namespace {

// A subscribed connection the broker ends sooner than this was cut short;
// several in a row suggest another client with the same id.
constexpr auto kShortLived = std::chrono::seconds(5);
constexpr int kShortLivedInARow = 3;
// How long a clean end waits for the broker to take the offline status.
constexpr int kGoodbyeMs = 1000;
// Status messages (online, offline) that may be in flight beside the results.
constexpr size_t kStatusInFlight = 16;
// The online status goes out at most this often.
constexpr qint64 kStatusIntervalMs = 1000;

// The prefix kept for brokers' ACL patterns, the process id, and a random
// part drawn at start: process ids repeat across PCs.
std::string makeClientID() {
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", QRandomGenerator::system()->generate());
    return "TGW-API-MOBILE-TOOL-" + std::to_string(::getpid()) + "-" + suffix;
}

}  // namespace

const char* stateName(ConnectionState s) {
    switch (s) {
        case ConnectionState::connecting: return "connecting";
        case ConnectionState::connected: return "connected";
        case ConnectionState::retrying: return "retrying";
        case ConnectionState::refused: return "refused";
        case ConnectionState::untrusted: return "untrusted";
        case ConnectionState::disconnected: return "disconnected";
    }
    return "?";
}

BrokerSettings BrokerSettings::from(const Config& config) {
    BrokerSettings s;
    s.host = config.brokerHost.toStdString();
    s.port = config.brokerPort;
    s.account = {config.brokerUsername.toStdString(), config.brokerPassword.toStdString()};
    const auto origin = config.origins.find("broker/username");
    if (origin != config.origins.end()) s.accountOrigin = origin->second.toStdString();
    s.subscribeTimeout = std::min(config.limits.connectTimeout, s.subscribeTimeout);
    s.maxOutboundBytes = config.limits.maxOutboundBytes;
    s.presence = config.presenceEnabled;
    return s;
}

BrokerLink::ClientFactory BrokerLink::sessionFactory(const Config& config) {
    return [caFile = config.caFile, limits = config.limits](
               const std::string& clientID, const std::string& host, uint16_t port,
               mqtt::MqttDelegate& delegate) -> std::unique_ptr<MqttClient> {
        auto session = std::make_unique<mqtt::MqttSession>(clientID, host, port);
        session->setDelegate(&delegate);
        session->setEnableSSL(true);
        session->setExtraCaCertificates(readCaCertificates(caFile));
        session->setConnectTimeout(limits.connectTimeout);
        session->setMaxIncomingPacketSize(limits.maxIncomingPacket);
        session->setMaxOutboundBytes(limits.maxOutboundBytes);
        // The outbox keeps the window and holds each result until the broker
        // acknowledges it or the connection ends: the session adds no narrower
        // window and gives nothing up on a slow link (a dead one fails the
        // keep-alive).
        session->setBufferSilosMaxNumber(Outbox::kMaxInFlight + kStatusInFlight);
        session->setBufferSilosTimeout(1e9);
        return session;
    };
}

BrokerLink::BrokerLink(BrokerSettings settings, ClientFactory factory, Listener& listener)
    : m_settings(std::move(settings)),
      m_factory(std::move(factory)),
      m_listener(listener),
      m_clientID(makeClientID()),
      m_presence(m_settings.agentVersion.empty()
                     ? QCoreApplication::applicationVersion().toStdString()
                     : m_settings.agentVersion,
                 m_settings.hostName.empty() ? QSysInfo::machineHostName().toStdString()
                                             : m_settings.hostName),
      m_outbox(m_settings.maxOutboundBytes, m_settings.windowBytes) {
    m_reconnectTimer.setSingleShot(true);
    QObject::connect(&m_reconnectTimer, &QTimer::timeout, &m_context, [this] { connect(); });
    m_subscribeTimer.setSingleShot(true);
    QObject::connect(&m_subscribeTimer, &QTimer::timeout, &m_context,
                     [this] { subscribeTimedOut(); });
    m_shutdownTimer.setSingleShot(true);
    QObject::connect(&m_shutdownTimer, &QTimer::timeout, &m_context, [this] {
        qCWarning(lcConnection) << "DISCONNECT not written within 1 s; quitting anyway";
        finishShutdown();
    });
    m_departTimer.setSingleShot(true);
    QObject::connect(&m_departTimer, &QTimer::timeout, &m_context, [this] {
        qCWarning(lcConnection) << "the offline status was not acknowledged within 1 s";
        retireDeparting();
    });
    m_statusTimer.setSingleShot(true);
    QObject::connect(&m_statusTimer, &QTimer::timeout, &m_context, [this] { publishStatus(); });
}

BrokerLink::~BrokerLink() {
    m_reconnectTimer.stop();
    m_subscribeTimer.stop();
    m_shutdownTimer.stop();
    m_departTimer.stop();
    m_statusTimer.stop();
    m_client.reset();  // before the rest of this delegate goes
    m_departing.reset();
    m_retired.clear();
}

void BrokerLink::console(std::string_view text) {
    writeConsoleLine(std::string("Delegate: ").append(text));
}

// ---- connection ------------------------------------------------------------

void BrokerLink::start(std::string prefix, std::optional<BrokerCredentials> credentials) {
    stop();
    m_quitting = false;
    m_prefix = std::move(prefix);
    m_credentials = std::move(credentials);
    m_attempt = 0;
    m_waited = {};
    m_subAckMissed = false;
    m_shortLived = 0;
    if (const size_t dropped = m_outbox.keepOnly(m_prefix)) {
        writeConsoleLine("results dropped: " + std::to_string(dropped) +
                         " held for another account");
    }
    setState(ConnectionState::connecting);
    connect();
}

void BrokerLink::stop() {
    m_reconnectTimer.stop();
    m_subscribeTimer.stop();
    m_statusTimer.stop();
    if (m_client && m_state == ConnectionState::connected && m_settings.presence) {
        if (const uint16_t id = sayGoodbye(*m_client)) {
            retireDeparting();
            m_outbox.connectionLost();
            m_departing = std::move(m_client);
            m_departingGoodbye = id;
            m_departTimer.start(kGoodbyeMs);
        }
    }
    retireSession();
    m_state = ConnectionState::disconnected;
    m_stateSince = QDateTime::currentDateTimeUtc();
}

void BrokerLink::retireDeparting() {
    m_departTimer.stop();
    if (!m_departing) return;
    m_retired.push_back(std::move(m_departing));
    QTimer::singleShot(0, &m_context, [this] { m_retired.clear(); });
}

uint16_t BrokerLink::sayGoodbye(MqttClient& client) {
    if (!m_settings.presence) return 0;
    const uint16_t id =
        client.publish(Presence::topic(m_prefix), Presence::kOffline, MqttQos::qos1, true, false);
    if (id != 0) m_statusIds.push_back(id);
    return id;
}

void BrokerLink::shutdown(std::function<void()> done) {
    m_reconnectTimer.stop();
    m_subscribeTimer.stop();
    m_quitting = true;
    m_shutdownDone = std::move(done);
    m_statusTimer.stop();
    if (m_client && m_state == ConnectionState::connected) {
        m_shutdownTimer.start(kGoodbyeMs);
        // With presence, DISCONNECT follows the offline status's PUBACK.
        m_goodbyeID = sayGoodbye(*m_client);
        if (m_goodbyeID == 0) m_client->disconnect();  // didDisconnect, or the timer, finishes
    } else {
        retireSession();  // nothing to say goodbye on; no late CONNACK either
        finishShutdown();
    }
}

void BrokerLink::finishShutdown() {
    if (!m_shutdownDone) return;
    std::function<void()> done = std::move(m_shutdownDone);
    m_shutdownDone = nullptr;
    m_shutdownTimer.stop();
    m_state = ConnectionState::disconnected;
    m_stateSince = QDateTime::currentDateTimeUtc();
    QTimer::singleShot(0, &m_context, std::move(done));
}

void BrokerLink::connect() {
    m_reconnectTimer.stop();
    m_subscribeTimer.stop();
    retireSession();
    m_credentialsRefused = false;
    m_connAckRefused = false;
    m_subscribed = false;
    const BrokerCredentials& account = this->account();
    const std::string origin = accountOrigin();
    m_client = m_factory(m_clientID, m_settings.host, m_settings.port, *this);
    m_client->setUsername(account.username);
    m_client->setPassword(account.password);
    m_client->setKeepAlive(m_settings.keepAlive);
    if (m_settings.presence) m_client->setWillMessage(Presence::will(m_prefix));
    qCInfo(lcConnection).nospace()
        << "connecting to " << m_settings.host.c_str() << ":" << m_settings.port << " as "
        << account.username.c_str() << " (" << origin.c_str() << "), client id "
        << m_clientID.c_str() << ", prefix \"" << m_prefix.c_str() << "\", attempt " << m_attempt;
    if (!m_client->connect()) {
        qCWarning(lcConnection) << "the connection could not be started";
        failed("the connection could not be started");
        retireSession();
        setState(ConnectionState::retrying);
        scheduleReconnect();
    }
}

const BrokerCredentials& BrokerLink::account() const {
    return m_credentials ? *m_credentials : m_settings.account;
}

std::string BrokerLink::accountOrigin() const {
    return m_credentials ? "login reply" : m_settings.accountOrigin;
}

void BrokerLink::retireSession() {
    if (!m_client) return;
    m_outbox.connectionLost();
    m_statusIds.clear();
    m_goodbyeID = 0;
    m_retired.push_back(std::move(m_client));
    QTimer::singleShot(0, &m_context, [this] { m_retired.clear(); });
}

void BrokerLink::scheduleReconnect() {
    const double random = QRandomGenerator::global()->generateDouble() * 2 - 1;
    auto delay = reconnectDelay(m_settings.delays, m_attempt++, m_waited, random);
    if (std::exchange(m_subAckMissed, false)) {
        delay = std::min(delay, m_settings.subscribeTimeout * 3 / 4);
    }
    m_waited += delay;
    qCInfo(lcConnection) << "connecting again in" << delay.count() << "ms";
    m_reconnectTimer.start(delay);
}

void BrokerLink::setState(ConnectionState state) {
    if (state == m_state) return;
    m_state = state;
    m_stateSince = QDateTime::currentDateTimeUtc();
    qCInfo(lcConnection) << "connection state:" << stateName(state);
    m_listener.connectionStateChanged(state);
}

// A broker that accepted the connection but never confirms the command topic
// leaves the agent deaf: that connection counts as lost, on every attempt.
void BrokerLink::subscribeTimedOut() {
    if (!m_client || m_subscribed) return;
    qCWarning(lcConnection) << "no SUBACK for the command topic within"
                            << m_settings.subscribeTimeout.count() << "ms; connecting again";
    failed("no SUBACK for the command topic");
    m_client->disconnect();
    retireSession();  // its own end, reported later, no longer counts
    console("mqttDidDisconnect");
    console("reason: no SUBACK for the command topic");
    m_subAckMissed = true;
    connectionEnded(ConnectionState::retrying);
}

void BrokerLink::connectionEnded(ConnectionState next) {
    m_subscribeTimer.stop();
    m_statusTimer.stop();
    m_statusIds.clear();
    if (const size_t held = m_outbox.connectionLost()) {
        qCInfo(lcConnection) << held << "results unacknowledged; sent again on reconnect";
    }
    if (m_subscribed) {
        const auto lasted = std::chrono::milliseconds(m_subscribedFor.elapsed());
        if (lasted >= m_settings.delays.stable) {
            m_attempt = 0;
            m_waited = {};
        }
        m_shortLived = lasted < kShortLived ? m_shortLived + 1 : 0;
        if (m_shortLived >= kShortLivedInARow && next == ConnectionState::retrying) {
            qCWarning(lcConnection).nospace()
                << "the broker ended the subscribed connection within seconds " << m_shortLived
                << " times in a row: another client may be using the client id "
                << m_clientID.c_str();
        }
        m_subscribed = false;
    }
    setState(next);
    if (m_quitting) {
        finishShutdown();
    } else if (next == ConnectionState::retrying) {
        scheduleReconnect();
    }
}

// ---- MQTT events -------------------------------------------------------------
// A session being retired may still report; only the current one counts.

void BrokerLink::didReceiveTrust(MqttClient&, const mqtt::MqttServerTrust&,
                                 std::function<void(bool)> completion) {
    // Only asked when manual evaluation is switched on, which this link never
    // does: the broker's certificate is verified by the TLS layer.
    completion(true);
}

void BrokerLink::didConnectAck(MqttClient& client, MqttConnAck ack) {
    if (&client != m_client.get()) return;
    writeConsoleLine(std::string("didConnectAck: ") + mqtt::toString(ack) +
                     "\xEF\xBC\x8C"
                     "rawValue: " +
                     std::to_string(static_cast<int>(ack)));
    if (ack == MqttConnAck::accepted) {
        client.subscribe(commandTopic(m_prefix), MqttQos::qos1);
        m_subscribeTimer.start(m_settings.subscribeTimeout);
        return;
    }
    const std::string reason = "the broker refused the connection: CONNACK " +
                               std::to_string(static_cast<int>(ack)) + " (" + mqtt::toString(ack) +
                               ") for user " + account().username + " (" + accountOrigin() + ")";
    qCWarning(lcConnection).noquote() << reason.c_str();
    failed(reason);
    m_connAckRefused = true;
    if (ack == MqttConnAck::badUserNameOrPassword || ack == MqttConnAck::notAuthorized) {
        m_credentialsRefused = true;  // trying again cannot help
        if (m_reconnectTimer.isActive()) {
            // The end of this connection was reported first.
            m_reconnectTimer.stop();
            setState(ConnectionState::refused);
        }
    }
}

void BrokerLink::didPublishMessage(MqttClient& client, const mqtt::MqttMessage& message, uint16_t) {
    if (&client != m_client.get() || message.topic() == Presence::topic(m_prefix)) return;
    writeConsoleLine("didPublishMessage with message");
}

void BrokerLink::didPublishAck(MqttClient& client, uint16_t id) {
    if (m_departing && &client == m_departing.get()) {
        if (id == m_departingGoodbye) {
            m_departTimer.stop();
            m_departing->disconnect();  // retired when it reports its end
        }
        return;
    }
    if (&client != m_client.get()) return;
    // The status's own acknowledgements stay off the console.
    if (const auto status = std::find(m_statusIds.begin(), m_statusIds.end(), id);
        status != m_statusIds.end()) {
        m_statusIds.erase(status);
        if (id == m_goodbyeID && m_quitting) client.disconnect();
        return;
    }
    writeConsoleLine("didPublishAck with id: " + std::to_string(id));
    if (m_outbox.acknowledged(id)) publishWaiting();
}

void BrokerLink::didReceiveMessage(MqttClient& client, const mqtt::MqttMessage& message,
                                   uint16_t id) {
    if (&client != m_client.get()) return;
    const std::optional<std::string> text = message.string();
    writeConsoleLine("didReceivedMessage: " + consoleQuote(text.value_or("")) + " with id " +
                     std::to_string(id));
    if (!text) {
        writeConsoleLine("command ignored: the payload is not UTF-8 text");
        return;
    }
    m_listener.commandArrived(m_prefix, *text);
}

void BrokerLink::didSubscribeTopic(MqttClient& client, const std::string& topic) {
    if (&client != m_client.get()) return;
    writeConsoleLine("didSubscribeTopic to " + topic);
    if (topic != commandTopic(m_prefix)) return;
    m_subscribeTimer.stop();
    m_subscribed = true;
    m_subscribedFor.start();
    setState(ConnectionState::connected);
    m_presence.setSince(QDateTime::currentDateTimeUtc());
    publishStatus();
    publishWaiting();
}

void BrokerLink::didUnsubscribeTopic(MqttClient& client, const std::string& topic) {
    if (&client != m_client.get()) return;
    writeConsoleLine("didUnsubscribeTopic to " + topic);
}

void BrokerLink::didPing(MqttClient& client) {
    if (&client != m_client.get()) return;
    writeConsoleLine("didPing");
}

void BrokerLink::didReceivePong(MqttClient& client) {
    if (&client != m_client.get()) return;
    console("didReceivePong");
}

void BrokerLink::didDisconnect(MqttClient& client, const std::optional<mqtt::MqttError>& error) {
    if (m_departing && &client == m_departing.get()) {
        retireDeparting();
        return;
    }
    if (&client != m_client.get()) return;
    ConnectionState next = ConnectionState::retrying;
    if (m_quitting) {
        next = ConnectionState::disconnected;
    } else if (m_credentialsRefused ||
               (error && error->kind == mqtt::MqttErrorKind::subscriptionRefused)) {
        next = ConnectionState::refused;
    } else if (error && error->kind == mqtt::MqttErrorKind::untrustedCertificate) {
        next = ConnectionState::untrusted;
    }
    console("mqttDidDisconnect");
    if (error) {
        console("reason: " + error->description);
        qCWarning(lcConnection) << "connection lost:" << error->description.c_str() << "kind"
                                << static_cast<int>(error->kind);
        if (!m_connAckRefused) failed(error->description);  // the CONNACK said it better
    }
    if (next == ConnectionState::untrusted) {
        mqtt::fetchPeerCertificate(
            m_settings.host, m_settings.port, &m_context, [this](std::string names) {
                if (names.empty()) return;
                qCWarning(lcConnection).noquote()
                    << "the broker"
                    << (m_settings.host + ":" + std::to_string(m_settings.port)).c_str()
                    << "shows an untrusted" << names.c_str();
                m_lastError += "; " + names;
            });
    }
    // The ended session stays current until the next attempt: a refusal's
    // CONNACK may be reported after its end.
    connectionEnded(next);
}

void BrokerLink::didSkipOversizedMessage(MqttClient& client, const std::string& topic,
                                         size_t bytes) {
    if (&client != m_client.get()) return;
    writeConsoleLine("command skipped: " + std::to_string(bytes) + " bytes on " +
                     consoleQuote(topic) + ", over the packet size limit");
}

void BrokerLink::didIgnoreUnknownAcks(MqttClient& client, uint64_t count) {
    if (&client != m_client.get()) return;
    writeConsoleLine("didPublishAck for " +
                     QLocale(QLocale::English).toString(qulonglong(count)).toStdString() +
                     " unknown ids");
}

// ---- results -----------------------------------------------------------------
// Results are QoS 1. Every session is a clean one, so the broker forgets
// unacknowledged packet ids with the connection (MQTT 3.1.1, 3.1.2.4): what
// the old session had not seen acknowledged is published afresh, with new ids
// and DUP 0, on the next connection.

void BrokerLink::dropResults() {
    if (const size_t dropped = m_outbox.clear()) {
        writeConsoleLine("results dropped: " + std::to_string(dropped) +
                         " held for an account no longer logged in");
    }
}

void BrokerLink::sendResult(OutgoingResult result) {
    if (result.prefix != m_prefix) {
        writeConsoleLine("result dropped: its account is no longer the one logged in");
        return;
    }
    m_outbox.add(std::move(result), [](size_t bytes) {
        qCWarning(lcConnection) << "result of" << bytes
                                << "bytes dropped: too much waits for the connection";
    });
    publishWaiting();
}

void BrokerLink::publishWaiting() {
    if (!m_client || m_state != ConnectionState::connected) return;
    while (m_outbox.canSend()) {
        const OutgoingResult& next = m_outbox.next();
        const uint16_t id =
            m_client->publish(resultTopic(next.prefix), next.payload, MqttQos::qos1, false, false);
        if (id == 0) {
            qCWarning(lcConnection)
                << "result of" << next.payload.size() << "bytes refused by the session; not sent";
            m_outbox.dropNext();
            continue;
        }
        m_outbox.sent(id);
    }
}

}  // namespace tgw::app

namespace tgw::app {

// ---- presence ------------------------------------------------------------------

void BrokerLink::setPresenceDevices(std::string devices) {
    if (!m_presence.setDevices(std::move(devices)) || m_state != ConnectionState::connected ||
        m_statusTimer.isActive())
        return;
    const qint64 since = m_lastStatus.isValid() ? m_lastStatus.elapsed() : kStatusIntervalMs;
    if (since >= kStatusIntervalMs) {
        publishStatus();
    } else {
        m_statusTimer.start(int(kStatusIntervalMs - since));
    }
}

std::optional<std::string> BrokerLink::onlineStatus() const {
    if (!m_settings.presence) return std::nullopt;
    return m_presence.online();
}

void BrokerLink::publishStatus() {
    if (!m_settings.presence || !m_client || m_state != ConnectionState::connected) return;
    m_statusTimer.stop();
    const uint16_t id = m_client->publish(Presence::topic(m_prefix), m_presence.online(),
                                          MqttQos::qos1, true, false);
    if (id != 0) m_statusIds.push_back(id);
    m_lastStatus.start();
}

// ---- for a person asking ---------------------------------------------------------

void BrokerLink::failed(std::string reason) {
    m_lastError = std::move(reason);
    m_lastErrorAt = QDateTime::currentDateTimeUtc();
}

QJsonObject BrokerLink::describe() const {
    QJsonObject o;
    o.insert("state", stateName(m_state));
    o.insert("since", m_stateSince.toString(Qt::ISODate));
    o.insert("broker",
             QString::fromStdString(m_settings.host + ":" + std::to_string(m_settings.port)));
    o.insert("broker_user", QString::fromStdString(account().username));
    o.insert("client_id", QString::fromStdString(m_clientID));
    o.insert("prefix", QString::fromStdString(m_prefix));
    o.insert("last_error", QString::fromStdString(m_lastError));
    o.insert("last_error_at",
             m_lastErrorAt.isValid() ? m_lastErrorAt.toString(Qt::ISODate) : QString());
    o.insert("results_held", qint64(m_outbox.waitingCount() + m_outbox.inFlightCount()));
    return o;
}

}  // namespace tgw::app
