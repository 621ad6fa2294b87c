// BrokerLink: the connection owner. One per logged-in account: connects to
// the broker, subscribes to the account's command topic, reports every
// connection state, passes the commands that arrive to its listener, and
// publishes results and statuses through the one Outbox.
//
// It wires five parts: the ConnectionMachine decides what follows each event
// (back-off, deadlines, which failures end the retrying), the Outbox holds
// every message and packet id in flight, the PresencePublisher says when the
// status goes, the Departure says goodbye, link_console says it all to a
// person. The link itself makes a
// fresh MqttSession for every attempt (a session is one connection and keeps
// nothing across connections), runs the timers and pumps the outbox into the
// session as far as the window lets it.
//
// With presence on, every connection carries the offline status as its will,
// and a clean end (log-out, another login, quitting) first clears the phone
// records published for the account, publishes the offline status with its
// reason and
// sends DISCONNECT once the broker has it (a clean DISCONNECT discards the
// will), at most 1 s later. A command arriving meanwhile is not run but
// answered at once on that connection with an error result (leaving_answers.h):
// the session acknowledges every command it reads, and a clean session would
// forget an unacknowledged one anyway, so answering is the only way not to
// drop it; DISCONNECT then waits for those answers too.
//
// Lives on the main thread; owned by the AppDelegate.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/broker/connection_machine.h"
#include "app/broker/connection_state.h"
#include "app/broker/departure.h"
#include "app/broker/link_console.h"
#include "app/broker/outbox.h"
#include "app/broker/presence_publisher.h"
#include "app/broker/reconnect_policy.h"
#include "mqtt/codec/client.h"

namespace tgw::app {

struct Config;

// Where and how the link connects.
struct BrokerSettings {
    std::string host = "localhost";
    uint16_t port = 8883;
    // The account used when a login names none, and where it came from
    // ("built-in account" or the setting's origin), for the log.
    BrokerCredentials account;
    std::string accountOrigin = "built-in account";
    uint16_t keepAlive = 60;
    // The CA file trusted besides the system's store; empty when none. For
    // the reason of an untrusted certificate.
    std::string caFile;
    // From the accepted CONNACK until the command topic's SUBACK: a broker
    // answers it at once. A connection lost for want of it is tried again
    // after at most three quarters of this, whatever the back-off has grown
    // to: within 35 s of the CONNACK.
    std::chrono::milliseconds subscribeTimeout{20'000};
    size_t maxOutboundBytes = size_t{64} << 20;  // results held, in the outbox
    size_t windowBytes = size_t{4} << 20;        // results handed to the session at once
    ReconnectDelays delays;
    bool presence = true;
    std::string agentVersion;  // for the status; the application's version by default
    std::string hostName;      // for the status; this machine's by default

    static BrokerSettings from(const Config& config);
    std::string broker() const { return host + ":" + std::to_string(port); }
    // The presence payloads' maker, with the defaults filled in.
    Presence presenceOf() const;
};

class BrokerLink : public mqtt::MqttDelegate {
  public:
    // What the link reports to its owner.
    class Listener {
      public:
        virtual ~Listener() = default;
        virtual void connectionStateChanged(ConnectionState state) = 0;
        // A command (UTF-8 text) arrived for the account `prefix`.
        virtual void commandArrived(const std::string& prefix, const std::string& text) = 0;
        // nextAttempt() has changed (also without a change of state).
        virtual void nextAttemptChanged() {}
    };

    // Makes a client for one connection attempt, with `delegate` set.
    using ClientFactory = std::function<std::unique_ptr<mqtt::MqttClient>(
        const std::string& clientID, const std::string& host, uint16_t port,
        mqtt::MqttDelegate& delegate)>;
    // The program's sessions: TLS on, the configured CA file (read anew for
    // every connection) trusted, the configured limits applied.
    static ClientFactory sessionFactory(const Config& config);

    // `listener` must outlive the link.
    BrokerLink(BrokerSettings settings, ClientFactory factory, Listener& listener);
    ~BrokerLink() override;

    // Connects for an account whose login succeeded: ends any earlier
    // connection and retrying first. `credentials` (a login reply's) come
    // before the configured account. Results held for other accounts go.
    void start(std::string prefix, std::optional<BrokerCredentials> credentials = std::nullopt);
    // Ends the connection and any retrying without a state report. A
    // subscribed connection first says goodbye for `reason` (see above;
    // meanwhile a new start() may connect already).
    void stop(OfflineReason reason = OfflineReason::switched);
    // Quitting: says goodbye as stop() does, then calls `done` on the event
    // loop (at most about 1 s later).
    void shutdown(std::function<void()> done);
    // Connects now instead of at the end of the pending wait (the back-off
    // or the long wait after a refusal); nothing while an attempt runs.
    void reconnectNow();
    // When the next attempt starts (local time); none when none is pending.
    const std::optional<QDateTime>& nextAttempt() const { return m_nextAttempt; }
    // Drops every held result, waiting or in flight (the account logged out
    // or another one logged in).
    void dropResults();
    // Publishes a result now, or keeps it until the connection is back.
    void sendResult(OutgoingResult result);
    // Publishes the retained record of a phone on `topic` (empty: clears
    // it), now or once the connection is back; only for the account in force.
    void sendRecord(const std::string& prefix, std::string topic, std::string payload);
    // The phones for the status, as the JSON array of a devices reply's
    // "data"; a change is published while connected, at most once a second.
    void setPresenceDevices(std::string devices);
    // The online status as it would be published now; none with presence off.
    std::optional<std::string> onlineStatus() const { return m_presence.online(); }

    // For a person asking: state, since when, broker, user, client id,
    // prefix, the last error and its time, results held.
    QJsonObject describe() const;

    ConnectionState state() const { return m_machine.state(); }
    const QDateTime& stateSince() const { return m_stateSince; }
    // The last failure's reason and its time (UTC); empty before any.
    const std::string& lastError() const { return m_lastError; }
    const QDateTime& lastErrorAt() const { return m_lastErrorAt; }
    mqtt::MqttClient* client() const { return m_client.get(); }
    const std::string& clientID() const { return m_clientID; }
    const std::string& prefix() const { return m_prefix; }
    const Outbox& outbox() const { return m_outbox; }

    // MqttDelegate. The broker's certificate is judged by the TLS layer
    // alone: the link answers no trust question (the default refuses).
    void didConnectAck(mqtt::MqttClient& client, mqtt::MqttConnAck ack) override;
    void didPublishMessage(mqtt::MqttClient&, const std::string& topic, uint16_t) override;
    void didPublishAck(mqtt::MqttClient&, uint16_t id) override;
    void didReceiveMessage(mqtt::MqttClient&, const mqtt::MqttMessage& message,
                           uint16_t id) override;
    void didSubscribeTopic(mqtt::MqttClient&, const std::string& topic) override;
    void didDisconnect(mqtt::MqttClient&, const std::optional<mqtt::MqttError>&) override;
    // Only echoed, and only for the current connection.
    void didUnsubscribeTopic(mqtt::MqttClient& c, const std::string& topic) override {
        if (&c == m_client.get()) link_console::unsubscribed(topic);
    }
    void didPing(mqtt::MqttClient& c) override {
        if (&c == m_client.get()) link_console::ping();
    }
    void didReceivePong(mqtt::MqttClient& c) override {
        if (&c == m_client.get()) link_console::pong();
    }
    void didSkipOversizedMessage(mqtt::MqttClient& c, const std::string& topic,
                                 size_t bytes) override {
        if (&c == m_client.get()) link_console::skipped(topic, bytes);
    }
    void didIgnoreUnknownAcks(mqtt::MqttClient& c, uint64_t count) override {
        if (&c == m_client.get()) link_console::unknownAcks(count);
    }

  private:
    static std::string makeClientID();
    // Carries out what the machine decided.
    void apply(const ConnectionMachine::Actions& actions);
    void connect();
    // The broker account in force (the login reply's, else the configured or
    // built-in one) and where it came from, for the log.
    const BrokerCredentials& account() const {
        return m_credentials ? *m_credentials : m_settings.account;
    }
    std::string accountOrigin() const {
        return m_credentials ? "login reply" : m_settings.accountOrigin;
    }
    // Ends the current session; it goes on the event loop, never inside one
    // of its own callbacks.
    void retire(std::unique_ptr<mqtt::MqttClient>& client);
    // The current connection says goodbye and becomes the departing one.
    void depart(OfflineReason reason);
    void finishShutdown();
    void publishWaiting();
    void failed(std::string reason);
    double random() const;

    BrokerSettings m_settings;
    ClientFactory m_factory;
    Listener& m_listener;
    const std::string m_clientID;
    std::string m_prefix;
    std::optional<BrokerCredentials> m_credentials;  // the login reply's
    ConnectionMachine m_machine;
    QElapsedTimer m_subscribedFor;
    QDateTime m_stateSince = QDateTime::currentDateTimeUtc();
    std::optional<QDateTime> m_nextAttempt;
    std::string m_lastError;
    QDateTime m_lastErrorAt;
    Outbox m_outbox;
    PresencePublisher m_presence;
    std::function<void()> m_shutdownDone;

    std::unique_ptr<mqtt::MqttClient> m_client;
    std::vector<std::unique_ptr<mqtt::MqttClient>> m_retired;  // deleted on the event loop
    Departure m_departure;
    QObject m_context;  // receiver of timers and queued work; goes first
    QTimer m_reconnectTimer;
    QTimer m_subscribeTimer;
};

}  // namespace tgw::app
