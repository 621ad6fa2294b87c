// AppDelegate: the agent's controller. Owns the one MQTT session and is its
// delegate, subscribes to the account's command topic once the broker accepts
// the connection, runs the commands that arrive (sync, android, apple,
// devices) and publishes their results. After an unexpected loss it connects
// again by itself with a growing back-off; it reports every connection state
// to the login window.
//
// Results are QoS 1 publishes that the controller keeps until the broker has
// acknowledged them: what the link loses is published again on the next
// connection, and results that complete while there is no connection wait
// for it. Each device query collects its own tool's output; a few run at once,
// the rest wait in order; each has a time limit and an output cap.
//
// Lives on the main thread; created by main() and outlives the window.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "app/queries/collection_buffer.h"
#include "app/devices/device_monitor.h"
#include "app/queries/mqtt_api.h"
#include "app/config/settings.h"
#include "mqtt/codec/client.h"
#include "process/bundle.h"

namespace tgw::app {

// The broker connection as the window shows it.
enum class ConnectionState {
    connecting,    // from start() until the broker's SUBACK for the command topic
    connected,     // subscribed: commands arrive
    retrying,      // lost unexpectedly; connecting again after a back-off
    refused,       // the broker refused the credentials (CONNACK 4 or 5): no retry
    untrusted,     // the broker's certificate is not trusted: no retry
    disconnected,  // ended, and not retrying for another reason
};

// Broker credentials that a login reply may carry for its account.
struct BrokerCredentials {
    std::string username;
    std::string password;
};

// What the controller needs of the login window.
class LoginWindow {
  public:
    virtual ~LoginWindow() = default;
    // Every change of the connection's state.
    virtual void connectionStateChanged(ConnectionState) {}
};

class AppDelegate : public mqtt::MqttDelegate {
  public:
    // Makes a client for the broker with TLS on, `delegate` set and the extra
    // CA certificates trusted; tests substitute their own.
    using ClientFactory = std::function<std::unique_ptr<mqtt::MqttClient>(
        const std::string& clientID, const std::string& host, uint16_t port,
        mqtt::MqttDelegate& delegate)>;
    static std::unique_ptr<mqtt::MqttClient> makeSession(const std::string& clientID,
                                                         const std::string& host, uint16_t port,
                                                         mqtt::MqttDelegate& delegate);

    static constexpr const char* kUsername = "tanglow_web";
    static constexpr const char* kPassword = "palmoc5829";
    static constexpr uint16_t kKeepAlive = 60;

    // Waits between connection attempts after a loss: `first`, doubling up to
    // `cap`, each varied at random by up to +-`jitter`.
    struct ReconnectDelays {
        std::chrono::milliseconds first{1000};
        std::chrono::milliseconds cap{60'000};
        double jitter = 0.2;
    };
    // The wait before attempt `attempt` (0 for the first after a loss), with
    // `random` in [-1, 1] choosing the jitter.
    static std::chrono::milliseconds reconnectDelay(const ReconnectDelays& delays, int attempt,
                                                    double random);

    // `bundle` holds the tools (the main bundle when none); it must outlive this.
    explicit AppDelegate(ClientFactory factory = makeSession,
                         const process::Bundle* bundle = nullptr);
    ~AppDelegate() override;

    // The fields below keep their historic names and stay readable; other
    // modules change them only through start(), stop() and setLoginWindow().
    // Non-owning; the window unsets it (or outlives the controller).
    LoginWindow* viewContrl = nullptr;
    // The current session: replaced by every connection attempt.
    std::unique_ptr<mqtt::MqttClient> mqtt;
    const std::string clientID;
    // The account's topic prefix, from its login.
    std::string prefix;
    // The broker keep-alive; the program uses kKeepAlive, fault tests a shorter one.
    uint16_t keepAlive = kKeepAlive;

    // Starts the broker connection for an account whose login succeeded: ends
    // any earlier session and retrying, then connects with `credentials` (the
    // built-in ones when none). Held results of another account are dropped.
    void start(std::string prefix, std::optional<BrokerCredentials> credentials = std::nullopt);
    // Ends the session and any retrying without telling the window (a new
    // login is starting).
    void stop();
    // Quitting: sends DISCONNECT (waiting at most 1 s for it to be written),
    // stops every running tool, then calls `done` on the event loop.
    void shutdown(std::function<void()> done);
    void setLoginWindow(LoginWindow* window) { viewContrl = window; }

    ConnectionState state() const { return m_state; }
    mqtt::MqttClient* client() const { return mqtt.get(); }
    DeviceMonitor& deviceMonitor() { return *m_devices; }
    // For tests: shorter waits and limits than the program's.
    void setReconnectDelays(const ReconnectDelays& delays) { m_delays = delays; }
    void setLimits(const Limits& limits) { m_limits = limits; }
    // Queries launched and not yet ended.
    size_t runningQueries() const { return m_running.size(); }

    // Replaces the session with a new one and connects it.
    void connectMqtt();
    // Runs one command; `message` is the command's JSON text.
    void onReceivedMessage(const std::string& topic, const std::string& message);
    // Writes "Delegate: " + text as a console line.
    void _console(std::string_view text);

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

    // One kind of device query (public so the query table can be a constant).
    struct Query;

  private:
    // A result on its way to the web service, for the account that asked.
    struct Outgoing {
        std::string prefix;
        std::string payload;
    };
    struct Running;

    void setState(ConnectionState state);
    void retireSession();
    void scheduleReconnect();
    void finishShutdown();

    // Queues one query of `command` (serial / udid already checked).
    void enqueue(const Query& query, const MqttApi& command);
    void launchWaiting();
    void launch(Running& query);
    void collect(uint64_t id, const std::string& piece);
    void toolEnded(uint64_t id, int32_t status);
    void toolTimedOut(uint64_t id);
    // Publishes `data` as the query's result unless it has one already.
    void answer(Running& query, std::string data);
    void stopTool(Running& query);

    // Sends a result now, or holds it until the next connection.
    void sendResult(Outgoing result);
    void publishNow(Outgoing result);
    void holdUnacknowledged();
    void publishHeld();

    ClientFactory m_factory;
    const process::Bundle* m_bundle;
    Limits m_limits = limits();
    ReconnectDelays m_delays;
    std::optional<BrokerCredentials> m_credentials;
    ConnectionState m_state = ConnectionState::disconnected;
    int m_attempt = 0;                  // connection attempts since the last SUBACK
    bool m_credentialsRefused = false;  // CONNACK 4 or 5 on the current session
    bool m_quitting = false;            // shutdown() called: no more connecting
    std::function<void()> m_shutdownDone;

    // Published and not yet acknowledged on the current session, by order of
    // publishing; the id maps to that order.
    std::map<uint64_t, Outgoing> m_unacked;
    std::unordered_map<uint16_t, uint64_t> m_unackedIds;
    uint64_t m_publishCount = 0;
    // Waiting for a connection, oldest first.
    std::deque<Outgoing> m_held;
    size_t m_heldBytes = 0;

    std::deque<std::unique_ptr<Running>> m_waiting;
    std::map<uint64_t, std::unique_ptr<Running>> m_running;
    uint64_t m_queryCount = 0;

    std::unique_ptr<DeviceMonitor> m_devices;
    std::vector<std::unique_ptr<mqtt::MqttClient>> m_retired;  // deleted on the event loop
    QObject m_context;  // receiver of timers and queued work; goes first
    QTimer m_reconnectTimer;
    QTimer m_subscribeTimer;  // from CONNACK until the command topic's SUBACK
    QTimer m_shutdownTimer;
    // Lets process callbacks that outlive the controller do nothing.
    std::shared_ptr<AppDelegate*> m_self;
};

}  // namespace tgw::app
