#include "app/broker/broker_link.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSysInfo>
#include <utility>

#include "app/broker/leaving_answers.h"
#include "app/broker/link_console.h"
#include "app/protocol/topics.h"
#include "common/diagnostics.h"
#include "mqtt/tls_trust.h"

namespace tgw::app {

using mqtt::MqttClient;
using mqtt::MqttConnAck;
using mqtt::MqttQos;

namespace {

// How long a clean end waits for the broker to take its goodbye.
constexpr int kGoodbyeMs = 1000;

}  // namespace

BrokerLink::BrokerLink(BrokerSettings settings, ClientFactory factory, Listener& listener)
    : m_settings(std::move(settings)),
      m_factory(std::move(factory)),
      m_listener(listener),
      m_clientID(makeClientID()),
      m_machine(m_settings.delays, m_settings.subscribeTimeout),
      m_outbox(m_settings.maxOutboundBytes, m_settings.windowBytes),
      m_presence(m_settings.presence,
                 Presence(m_settings.agentVersion.empty()
                              ? QCoreApplication::applicationVersion().toStdString()
                              : m_settings.agentVersion,
                          m_settings.hostName.empty() ? QSysInfo::machineHostName().toStdString()
                                                      : m_settings.hostName),
                 [this](std::string status) {
                     m_outbox.setStatus(m_prefix, std::move(status));
                     publishWaiting();
                 }) {
    for (QTimer* t : {&m_reconnectTimer, &m_subscribeTimer, &m_departTimer}) t->setSingleShot(true);
    QObject::connect(&m_reconnectTimer, &QTimer::timeout, &m_context,
                     [this] { apply(m_machine.reconnectDue()); });
    QObject::connect(&m_subscribeTimer, &QTimer::timeout, &m_context, [this] {
        // A broker that accepted the connection but never confirms the command
        // topic leaves the agent deaf: that connection counts as lost.
        if (!m_client || m_machine.subscribedNow()) return;
        qCWarning(lcConnection) << "no SUBACK for the command topic within"
                                << m_settings.subscribeTimeout.count() << "ms; connecting again";
        failed("no SUBACK for the command topic");
        m_client->disconnect();
        const auto actions = m_machine.subscribeTimedOut(random());
        retire(m_client);
        link_console::disconnected("no SUBACK for the command topic");
        apply(actions);
    });
    QObject::connect(&m_departTimer, &QTimer::timeout, &m_context, [this] { departed(true); });
}

BrokerLink::~BrokerLink() {
    for (QTimer* t : {&m_reconnectTimer, &m_subscribeTimer, &m_departTimer}) t->stop();
    m_client.reset();  // before the rest of this delegate goes
    m_departing.reset();
    m_retired.clear();
}

double BrokerLink::random() const {
    return QRandomGenerator::global()->generateDouble() * 2 - 1;
}

void BrokerLink::apply(const ConnectionMachine::Actions& a) {
    if (a.cancelReconnect) m_reconnectTimer.stop();
    if (a.stopSubscribeDeadline) m_subscribeTimer.stop();
    if (a.retire) retire(m_client);
    if (a.report) {
        m_stateSince = QDateTime::currentDateTimeUtc();
        qCInfo(lcConnection) << "connection state:" << stateName(*a.report);
        m_listener.connectionStateChanged(*a.report);
    }
    if (a.shortLivedInARow > 0) {
        qCWarning(lcConnection).nospace()
            << "the broker ended the subscribed connection within seconds " << a.shortLivedInARow
            << " times in a row: another client may be using the client id " << m_clientID.c_str();
    }
    if (a.reconnectIn) {
        qCInfo(lcConnection) << "connecting again in" << a.reconnectIn->count() << "ms";
        m_reconnectTimer.start(*a.reconnectIn);
    }
    if (a.connect) connect();
    if (a.subscribe && m_client) {
        m_client->subscribe(commandTopic(m_prefix), mqtt::MqttQos::qos1);
        m_subscribeTimer.start(m_settings.subscribeTimeout);
    }
}

// ---- connection ------------------------------------------------------------

void BrokerLink::start(std::string prefix, std::optional<BrokerCredentials> credentials) {
    stop();
    m_prefix = std::move(prefix);
    m_credentials = std::move(credentials);
    if (const size_t dropped = m_outbox.keepOnly(m_prefix)) {
        link_console::resultsDropped(dropped, "another account");
    }
    apply(m_machine.start());
}

void BrokerLink::stop() {
    if (m_client && state() == ConnectionState::connected && m_presence.enabled()) depart();
    apply(m_machine.stop());
    m_stateSince = QDateTime::currentDateTimeUtc();
}

void BrokerLink::shutdown(std::function<void()> done) {
    m_shutdownDone = std::move(done);
    if (m_client && state() == ConnectionState::connected) depart();
    apply(m_machine.stop());  // nothing else to say goodbye on; no late CONNACK either
    if (!m_departing) finishShutdown();
}

// With presence, DISCONNECT follows the acknowledgement of the offline status
// and of every answer given meanwhile; without it, it goes at once.
void BrokerLink::depart() {
    if (m_departing) departed(false);
    m_outbox.connectionLost();
    m_presence.disconnected();
    m_departing = std::move(m_client);
    m_departingPrefix = m_prefix;
    const auto goodbye = m_presence.goodbye();
    const uint16_t id = goodbye ? m_departing->publish(Presence::topic(m_prefix), *goodbye,
                                                       mqtt::MqttQos::qos1, true, false)
                                : 0;
    if (id != 0) {
        m_outbox.departingSent(id);
    } else {
        m_departing->disconnect();
    }
    m_departTimer.start(kGoodbyeMs);
}

void BrokerLink::departed(bool byTimer) {
    m_departTimer.stop();
    if (byTimer) {
        qCWarning(lcConnection) << (m_shutdownDone
                                        ? "DISCONNECT not written within 1 s; quitting anyway"
                                        : "the offline status was not acknowledged within 1 s");
    }
    retire(m_departing);
    m_outbox.departed();
    finishShutdown();
}

void BrokerLink::finishShutdown() {
    if (!m_shutdownDone) return;
    std::function<void()> done = std::exchange(m_shutdownDone, nullptr);
    m_stateSince = QDateTime::currentDateTimeUtc();
    QTimer::singleShot(0, &m_context, std::move(done));
}

void BrokerLink::connect() {
    const BrokerCredentials& account = this->account();
    m_client = m_factory(m_clientID, m_settings.host, m_settings.port, *this);
    m_client->setUsername(account.username);
    m_client->setPassword(account.password);
    m_client->setKeepAlive(m_settings.keepAlive);
    if (m_presence.enabled()) m_client->setWillMessage(Presence::will(m_prefix));
    qCInfo(lcConnection).nospace()
        << "connecting to " << m_settings.host.c_str() << ":" << m_settings.port << " as "
        << account.username.c_str() << " (" << accountOrigin().c_str() << "), client id "
        << m_clientID.c_str() << ", prefix \"" << m_prefix.c_str() << "\", attempt "
        << m_machine.attempt();
    if (!m_client->connect()) {
        qCWarning(lcConnection) << "the connection could not be started";
        failed("the connection could not be started");
        apply(m_machine.connectFailed(random()));
    }
}

const BrokerCredentials& BrokerLink::account() const {
    return m_credentials ? *m_credentials : m_settings.account;
}

std::string BrokerLink::accountOrigin() const {
    return m_credentials ? "login reply" : m_settings.accountOrigin;
}

void BrokerLink::retire(std::unique_ptr<mqtt::MqttClient>& client) {
    if (!client) return;
    if (&client == &m_client) {
        m_outbox.connectionLost();
        m_presence.disconnected();
    }
    m_retired.push_back(std::move(client));
    QTimer::singleShot(0, &m_context, [this] { m_retired.clear(); });
}

// ---- MQTT events -------------------------------------------------------------
// A session being retired may still report; only the current one counts, and
// the departing one for its goodbye.

void BrokerLink::didConnectAck(MqttClient& client, MqttConnAck ack) {
    if (&client != m_client.get()) return;
    link_console::connAck(ack);
    if (ack != MqttConnAck::accepted) {
        const std::string reason = "the broker refused the connection: CONNACK " +
                                   std::to_string(static_cast<int>(ack)) + " (" +
                                   mqtt::toString(ack) + ") for user " + account().username +
                                   " (" + accountOrigin() + ")";
        qCWarning(lcConnection).noquote() << reason.c_str();
        failed(reason);
    }
    apply(m_machine.connAck(ack));
}

void BrokerLink::didPublishMessage(MqttClient& client, const mqtt::MqttMessage& message, uint16_t) {
    if (&client != m_client.get() || message.topic() == Presence::topic(m_prefix)) return;
    link_console::published();
}

void BrokerLink::didPublishAck(MqttClient& client, uint16_t id) {
    if (m_departing && &client == m_departing.get()) {
        if (m_outbox.departingAcknowledged(id)) m_departing->disconnect();
        return;
    }
    if (&client != m_client.get()) return;
    const auto kind = m_outbox.acknowledged(id);
    // The status's own acknowledgements stay off the console.
    if (kind != Outbox::Kind::status) link_console::publishAck(id);
    if (kind) publishWaiting();
}

void BrokerLink::didReceiveMessage(MqttClient& client, const mqtt::MqttMessage& message,
                                   uint16_t id) {
    const bool departing = m_departing && &client == m_departing.get();
    if (!departing && &client != m_client.get()) return;
    const std::optional<std::string> text = message.string();
    link_console::received(text, id);
    if (!text) return;
    if (!departing) return m_listener.commandArrived(m_prefix, *text);
    const auto answers = answersWhileLeaving(*text, m_presence.goodbye());
    for (const std::string& answer : answers) {
        if (const uint16_t sent = client.publish(resultTopic(m_departingPrefix), answer)) {
            m_outbox.departingSent(sent);
        }
    }
    if (!answers.empty()) link_console::answeredWhileLeaving(answers.size());
}

void BrokerLink::didSubscribeTopic(MqttClient& client, const std::string& topic) {
    if (&client != m_client.get()) return;
    link_console::subscribed(topic);
    if (topic != commandTopic(m_prefix)) return;
    m_subscribedFor.start();
    apply(m_machine.subscribed());
    m_presence.connected(QDateTime::currentDateTimeUtc());
    publishWaiting();
}

void BrokerLink::didUnsubscribeTopic(MqttClient& client, const std::string& topic) {
    if (&client == m_client.get()) link_console::unsubscribed(topic);
}

void BrokerLink::didPing(MqttClient& client) {
    if (&client == m_client.get()) link_console::ping();
}

void BrokerLink::didReceivePong(MqttClient& client) {
    if (&client == m_client.get()) link_console::pong();
}

void BrokerLink::didDisconnect(MqttClient& client, const std::optional<mqtt::MqttError>& error) {
    const auto reason = error ? std::optional(error->description) : std::nullopt;
    if (m_departing && &client == m_departing.get()) {
        if (m_shutdownDone) link_console::disconnected(reason);
        return departed(false);
    }
    if (&client != m_client.get()) return;
    link_console::disconnected(reason);
    if (error) {
        qCWarning(lcConnection) << "connection lost:" << error->description.c_str() << "kind"
                                << static_cast<int>(error->kind);
        if (!m_machine.connAckRefused()) failed(error->description);  // the CONNACK said it better
    }
    const auto lasted = std::chrono::milliseconds(
        m_machine.subscribedNow() ? m_subscribedFor.elapsed() : 0);
    const auto actions = m_machine.lost(error, lasted, random());
    if (m_machine.state() == ConnectionState::untrusted) {
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
    m_presence.disconnected();
    if (const size_t held = m_outbox.connectionLost()) {
        qCInfo(lcConnection) << held << "results unacknowledged; sent again on reconnect";
    }
    apply(actions);
}

void BrokerLink::didSkipOversizedMessage(MqttClient& client, const std::string& topic,
                                         size_t bytes) {
    if (&client == m_client.get()) link_console::skipped(topic, bytes);
}

void BrokerLink::didIgnoreUnknownAcks(MqttClient& client, uint64_t count) {
    if (&client == m_client.get()) link_console::unknownAcks(count);
}

// ---- results -----------------------------------------------------------------
// Results are QoS 1. Every session is a clean one, so the broker forgets
// unacknowledged packet ids with the connection (MQTT 3.1.1, 3.1.2.4): what
// the old session had not seen acknowledged is published afresh, with new ids
// and DUP 0, on the next connection.

void BrokerLink::dropResults() {
    if (const size_t dropped = m_outbox.clear()) {
        link_console::resultsDropped(dropped, "an account no longer logged in");
    }
}

void BrokerLink::sendResult(OutgoingResult result) {
    if (result.prefix != m_prefix) return link_console::resultOfAnotherAccount();
    m_outbox.add(std::move(result), [](size_t bytes) {
        qCWarning(lcConnection) << "result of" << bytes
                                << "bytes dropped: too much waits for the connection";
    });
    publishWaiting();
}

void BrokerLink::publishWaiting() {
    if (!m_client || state() != ConnectionState::connected) return;
    while (m_outbox.canSend()) {
        const Outbox::Message& next = m_outbox.next();
        const bool status = next.kind == Outbox::Kind::status;
        const uint16_t id =
            m_client->publish(status ? Presence::topic(next.prefix) : resultTopic(next.prefix),
                              next.payload, mqtt::MqttQos::qos1, status, false);
        if (id == 0) {  // the window keeps ids free: only a message no packet can carry
            qCWarning(lcConnection) << "message of" << next.payload.size()
                                    << "bytes does not fit one MQTT packet; not sent";
            m_outbox.dropNext();
            continue;
        }
        m_outbox.sent(id);
    }
}

void BrokerLink::setPresenceDevices(std::string devices) {
    m_presence.setDevices(std::move(devices));
}

// ---- for a person asking ---------------------------------------------------------

void BrokerLink::failed(std::string reason) {
    m_lastError = std::move(reason);
    m_lastErrorAt = QDateTime::currentDateTimeUtc();
}

QJsonObject BrokerLink::describe() const {
    return link_console::describe({state(), m_stateSince,
                                   m_settings.host + ":" + std::to_string(m_settings.port),
                                   account().username, m_clientID, m_prefix, m_lastError,
                                   m_lastErrorAt,
                                   m_outbox.waitingCount() + m_outbox.inFlightCount()});
}

}  // namespace tgw::app
