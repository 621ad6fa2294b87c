// BrokerLink: the connection owner. One per logged-in account: connects to
// the broker, subscribes to the account's command topic, reports every
// connection state, passes the commands that arrive to its listener, and
// publishes results through the one Outbox.
//
// It makes a fresh MqttSession for every connection attempt and does the
// reconnecting itself: the session is one connection and keeps nothing across
// connections. A new attempt needs a new socket and TLS state anyway, an
// account change needs new credentials, and results must outlive the session
// that failed to deliver them; so the results, the back-off and the deadlines
// have this one owner.
//
// After an unexpected loss it connects again with a growing back-off, reset
// only by a connection that stayed subscribed for a while; a refused account,
// an untrusted certificate or a refused subscription end the retrying. The
// connect deadline (in the session) and the SUBACK deadline (here) apply to
// every attempt.
//
// With presence on, every connection carries the offline status as its will,
// publishes the online status after its SUBACK and again when the phones
// change (at most once a second), and publishes the offline status itself
// before it ends cleanly (a clean DISCONNECT discards the will). These status
// messages do not pass through the outbox: they never count against the
// results' bound and are never held across connections.
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
#include <string_view>
#include <vector>

#include "app/broker/connection_state.h"
#include "app/broker/outbox.h"
#include "app/protocol/presence.h"
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
    // From the accepted CONNACK until the command topic's SUBACK: a broker
    // answers it at once. A connection lost for want of it is tried again
    // after at most three quarters of this, whatever the back-off has grown
    // to: within 35 s of the CONNACK.
    std::chrono::milliseconds subscribeTimeout{20'000};
    size_t maxOutboundBytes = size_t{64} << 20;
    size_t windowBytes = size_t{4} << 20;  // results handed to the session at once
    ReconnectDelays delays;
    bool presence = true;
    std::string agentVersion;  // for the status; the application's version by default
    std::string hostName;      // for the status; this machine's by default

    static BrokerSettings from(const Config& config);
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
    // subscribed connection first publishes the offline status and ends with
    // DISCONNECT once the broker has it (at most 1 s later, meanwhile a new
    // start() may connect already).
    void stop();
    // Quitting: publishes the offline status, sends DISCONNECT (waiting at
    // most 1 s for both to be written), then calls `done` on the event loop.
    void shutdown(std::function<void()> done);
    // Drops every held result, waiting or in flight (the account logged out
    // or another one logged in).
    void dropResults();
    // Publishes a result now, or keeps it until the connection is back.
    void sendResult(OutgoingResult result);
    // The phones for the status, as the JSON array of a devices reply's
    // "data"; a change is published while connected, at most once a second.
    void setPresenceDevices(std::string devices);
    // The online status as it would be published now; none with presence off.
    std::optional<std::string> onlineStatus() const;

    // For a person asking: state, since when, broker, user, client id,
    // prefix, the last error and its time, results held.
    QJsonObject describe() const;

    ConnectionState state() const { return m_state; }
    const QDateTime& stateSince() const { return m_stateSince; }
    // The last failure's reason and its time (UTC); empty before any.
    const std::string& lastError() const { return m_lastError; }
    const QDateTime& lastErrorAt() const { return m_lastErrorAt; }
    mqtt::MqttClient* client() const { return m_client.get(); }
    const std::string& clientID() const { return m_clientID; }
    const std::string& prefix() const { return m_prefix; }
    const Outbox& outbox() const { return m_outbox; }

    // MqttDelegate
    bool evaluatesTrust() const override { return true; }
    void didReceiveTrust(mqtt::MqttClient&, const mqtt::MqttServerTrust&,
                         std::function<void(bool)> completion) override;
    void didConnectAck(mqtt::MqttClient& client, mqtt::MqttConnAck ack) override;
    void didPublishMessage(mqtt::MqttClient&, const mqtt::MqttMessage&, uint16_t) override;
    void didPublishAck(mqtt::MqttClient&, uint16_t id) override;
    void didReceiveMessage(mqtt::MqttClient&, const mqtt::MqttMessage& message,
                           uint16_t id) override;
    void didSubscribeTopic(mqtt::MqttClient&, const std::string& topic) override;
    void didUnsubscribeTopic(mqtt::MqttClient&, const std::string& topic) override;
    void didPing(mqtt::MqttClient&) override;
    void didReceivePong(mqtt::MqttClient&) override;
    void didDisconnect(mqtt::MqttClient&, const std::optional<mqtt::MqttError>&) override;
    void didSkipOversizedMessage(mqtt::MqttClient&, const std::string& topic,
                                 size_t bytes) override;
    void didIgnoreUnknownAcks(mqtt::MqttClient&, uint64_t count) override;

  private:
    void connect();
    // The broker account in force (the login reply's, else the configured or
    // built-in one) and where it came from, for the log.
    const BrokerCredentials& account() const;
    std::string accountOrigin() const;
    void setState(ConnectionState state);
    // Ends the current session; it goes on the event loop, never inside one
    // of its own callbacks.
    void retireSession();
    // The current connection is lost: hold what was in flight, then retry
    // or stop as the state says.
    void connectionEnded(ConnectionState next);
    void scheduleReconnect();
    void subscribeTimedOut();
    void finishShutdown();
    void publishWaiting();
    void publishStatus();
    // Publishes the offline status on `client`; its packet id, 0 when none went.
    uint16_t sayGoodbye(mqtt::MqttClient& client);
    void retireDeparting();
    void failed(std::string reason);
    void console(std::string_view text);

    BrokerSettings m_settings;
    ClientFactory m_factory;
    Listener& m_listener;
    const std::string m_clientID;
    std::string m_prefix;
    std::optional<BrokerCredentials> m_credentials;  // the login reply's
    ConnectionState m_state = ConnectionState::disconnected;
    // Attempts since the last stable connection, and the time waited before them.
    int m_attempt = 0;
    std::chrono::milliseconds m_waited{0};
    bool m_subAckMissed = false;        // the latest connection ended for want of SUBACK
    bool m_subscribed = false;          // the current session has its SUBACK
    bool m_credentialsRefused = false;  // CONNACK 4 or 5 on the current session
    bool m_connAckRefused = false;      // any refusing CONNACK on the current session
    bool m_quitting = false;
    int m_shortLived = 0;  // subscribed connections in a row the broker ended within seconds
    QElapsedTimer m_subscribedFor;
    QDateTime m_stateSince = QDateTime::currentDateTimeUtc();
    std::string m_lastError;
    QDateTime m_lastErrorAt;
    Presence m_presence;
    std::vector<uint16_t> m_statusIds;  // status publishes awaiting their PUBACK
    uint16_t m_goodbyeID = 0;           // the offline status sent on quitting
    QElapsedTimer m_lastStatus;         // since the last online status went out
    std::function<void()> m_shutdownDone;
    Outbox m_outbox;

    std::unique_ptr<mqtt::MqttClient> m_client;
    // A connection ended by stop(), waiting for its offline status's PUBACK.
    std::unique_ptr<mqtt::MqttClient> m_departing;
    uint16_t m_departingGoodbye = 0;
    std::vector<std::unique_ptr<mqtt::MqttClient>> m_retired;  // deleted on the event loop
    QObject m_context;  // receiver of timers and queued work; goes first
    QTimer m_reconnectTimer;
    QTimer m_subscribeTimer;
    QTimer m_shutdownTimer;
    QTimer m_departTimer;
    QTimer m_statusTimer;  // the next online status, when one went out less than 1 s ago
};

}  // namespace tgw::app
