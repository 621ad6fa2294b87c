#include "app/broker/broker_link.h"

#include <utility>

#include "app/broker/link_console.h"
#include "app/broker/outbox_pump.h"
#include "app/protocol/topics.h"
#include "common/diagnostics.h"

namespace tgw::app {

using mqtt::MqttClient;
using mqtt::MqttConnAck;

BrokerLink::BrokerLink(BrokerSettings settings, ClientFactory factory, Listener& listener)
    : m_settings(std::move(settings)),
      m_factory(std::move(factory)),
      m_listener(listener),
      m_clientID(makeClientID()),
      m_machine(m_settings.delays, m_settings.subscribeTimeout),
      m_outbox(m_settings.maxOutboundBytes, m_settings.windowBytes),
      m_presence(m_settings.presence, m_settings.presenceOf(),
                 [this](std::string status) {
                     m_outbox.setStatus(m_prefix, std::move(status));
                     publishWaiting();
                 }),
      m_departure(m_outbox, [this](bool byTimer) {
          if (byTimer) link_console::logDepartureGaveUp(m_shutdownDone != nullptr);
          finishShutdown();
      }) {
    for (QTimer* t : {&m_reconnectTimer, &m_subscribeTimer}) t->setSingleShot(true);
    QObject::connect(&m_reconnectTimer, &QTimer::timeout, &m_context,
                     [this] { apply(m_machine.reconnectDue()); });
    QObject::connect(&m_subscribeTimer, &QTimer::timeout, &m_context, [this] {
        // A broker that accepted the connection but never confirms the command
        // topic leaves the agent deaf: that connection counts as lost.
        if (!m_client || m_machine.subscribedNow()) return;
        link_console::logSubAckMissed(m_settings.subscribeTimeout);
        failed("no SUBACK for the command topic");
        m_client->disconnect();
        const auto actions = m_machine.subscribeTimedOut(random());
        retire(m_client);
        link_console::disconnected("no SUBACK for the command topic");
        apply(actions);
    });
}

BrokerLink::~BrokerLink() {
    for (QTimer* t : {&m_reconnectTimer, &m_subscribeTimer}) t->stop();
    m_client.reset();  // before the rest of this delegate goes
    m_retired.clear();
}

void BrokerLink::apply(const ConnectionMachine::Actions& a) {
    const std::optional<QDateTime> nextBefore = m_nextAttempt;
    if (a.cancelReconnect) m_reconnectTimer.stop();
    if (a.cancelReconnect || a.connect) m_nextAttempt.reset();
    // Known before the state is reported, so that the report can name it.
    if (a.reconnectIn) m_nextAttempt = QDateTime::currentDateTime().addMSecs(a.reconnectIn->count());
    if (a.stopSubscribeDeadline) m_subscribeTimer.stop();
    if (a.retire) retire(m_client);
    if (a.report) {
        m_stateSince = QDateTime::currentDateTimeUtc();
        link_console::logState(*a.report);
        m_listener.connectionStateChanged(*a.report);
    }
    if (a.shortLivedInARow > 0) link_console::logShortLived(a.shortLivedInARow, m_clientID);
    if (a.reconnectIn) {
        link_console::logReconnectIn(*a.reconnectIn);
        m_reconnectTimer.start(*a.reconnectIn);
    }
    if (a.connect) connect();
    if (a.subscribe && m_client) {
        m_client->subscribe(commandTopic(m_prefix), mqtt::MqttQos::qos1);
        m_subscribeTimer.start(m_settings.subscribeTimeout);
    }
    if (m_nextAttempt != nextBefore) m_listener.nextAttemptChanged();
}

void BrokerLink::reconnectNow() {
    if (!m_machine.reconnectPending()) return;
    qCInfo(lcConnection) << "connecting again now, as asked";
    apply(m_machine.reconnectNow());
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

void BrokerLink::stop(OfflineReason reason) {
    if (m_client && state() == ConnectionState::connected &&
        (m_presence.enabled() || !m_outbox.recordTopics(m_prefix).empty()))
        depart(reason);
    apply(m_machine.stop());
    m_nextAttempt.reset();
    m_stateSince = QDateTime::currentDateTimeUtc();
}

void BrokerLink::shutdown(std::function<void()> done) {
    m_shutdownDone = std::move(done);
    if (m_client && state() == ConnectionState::connected) depart(OfflineReason::quit);
    apply(m_machine.stop());  // nothing else to say goodbye on; no late CONNACK either
    if (!m_departure.active()) finishShutdown();
}

void BrokerLink::depart(OfflineReason reason) {
    m_outbox.connectionLost();
    m_presence.disconnected();
    m_departure.begin(std::move(m_client), m_prefix, m_presence.goodbye(reason),
                      m_outbox.recordTopics(m_prefix));
    m_outbox.forgetRecordTopics(m_prefix);
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
    link_console::logConnecting(m_settings.broker(), account.username, accountOrigin(), m_clientID,
                                m_prefix, m_machine.attempt());
    if (!m_client->connect()) {
        qCWarning(lcConnection) << "the connection could not be started";
        failed("the connection could not be started");
        apply(m_machine.connectFailed(random()));
    }
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
    if (ack != MqttConnAck::accepted)
        failed(link_console::refused(ack, account().username, accountOrigin()));
    apply(m_machine.connAck(ack));
}

void BrokerLink::didPublishMessage(MqttClient& client, const std::string& topic, uint16_t) {
    if (&client != m_client.get() || topic == Presence::topic(m_prefix) ||
        isPhoneTopic(m_prefix, topic))
        return;
    link_console::published();
}

void BrokerLink::didPublishAck(MqttClient& client, uint16_t id) {
    if (m_departure.is(client)) return m_departure.acknowledged(id);
    if (&client != m_client.get()) return;
    const auto kind = m_outbox.acknowledged(id);
    // The status's and the records' own acknowledgements stay off the console.
    if (kind != Outbox::Kind::status && kind != Outbox::Kind::record) link_console::publishAck(id);
    if (kind) publishWaiting();
}

void BrokerLink::didReceiveMessage(MqttClient& client, const mqtt::MqttMessage& message,
                                   uint16_t id) {
    const bool departing = m_departure.is(client);
    if (!departing && &client != m_client.get()) return;
    const std::optional<std::string> text = message.string();
    link_console::received(text, id);
    if (!text) return;
    if (!departing) return m_listener.commandArrived(m_prefix, *text);
    if (const size_t answers = m_departure.commandArrived(*text)) {
        link_console::answeredWhileLeaving(answers);
    }
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

void BrokerLink::didDisconnect(MqttClient& client, const std::optional<mqtt::MqttError>& error) {
    const auto reason = error ? std::optional(error->description) : std::nullopt;
    if (m_departure.is(client)) {
        if (m_shutdownDone) link_console::disconnected(reason);
        return m_departure.disconnected();
    }
    if (&client != m_client.get()) return;
    link_console::disconnected(reason);
    if (error) {
        link_console::logLost(*error);
        if (!m_machine.connAckRefused()) failed(error->description);  // the CONNACK said it better
    }
    const auto lasted =
        std::chrono::milliseconds(m_machine.subscribedNow() ? m_subscribedFor.elapsed() : 0);
    const auto actions = m_machine.lost(error, lasted, random());
    if (m_machine.state() == ConnectionState::untrusted) {
        m_lastError += (m_lastError.ends_with(';') ? " " : "; ") +
                       link_console::trusted(m_settings.caFile);
        link_console::reportUntrustedPeer(
            m_settings.host, m_settings.port, &m_context,
            [this](const std::string& names) { m_lastError += "; " + names; });
    }
    m_presence.disconnected();
    if (const size_t held = m_outbox.connectionLost()) link_console::logHeldAgain(held);
    apply(actions);
}

// ---- results -----------------------------------------------------------------

void BrokerLink::dropResults() {
    if (const size_t dropped = m_outbox.clear()) {
        link_console::resultsDropped(dropped, "an account no longer logged in");
    }
}

void BrokerLink::sendResult(OutgoingResult result) {
    if (result.prefix != m_prefix) return link_console::resultOfAnotherAccount();
    m_outbox.add(std::move(result), link_console::logResultDropped);
    publishWaiting();
}

void BrokerLink::sendRecord(const std::string& prefix, std::string topic, std::string payload) {
    if (prefix != m_prefix) return;
    m_outbox.addRecord(prefix, std::move(topic), std::move(payload),
                       link_console::logResultDropped);
    publishWaiting();
}

void BrokerLink::publishWaiting() {
    if (m_client && state() == ConnectionState::connected) app::publishWaiting(m_outbox, *m_client);
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
    return link_console::describe({state(), m_stateSince, m_settings.broker(), account().username,
                                   m_clientID, m_prefix, m_lastError, m_lastErrorAt,
                                   m_outbox.waitingCount() + m_outbox.inFlightCount()});
}

}  // namespace tgw::app
