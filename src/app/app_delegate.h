// AppDelegate: the agent's controller. Owns the one MQTT session and is its
// delegate, subscribes to the account's command topic once the broker accepts
// the connection, runs the commands that arrive (sync, android, apple) and
// publishes their results, and tells the login window when the connection is
// gone. It never reconnects by itself: a new login makes a new session.
// Lives on the main thread; created by main() and outlives the window.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/collection_buffer.h"
#include "app/mqtt_api.h"
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
    // The broker connection has ended: show it and offer the login again.
    virtual void disconnect() = 0;
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

    // `bundle` holds the tools (the main bundle when none); it must outlive this.
    explicit AppDelegate(ClientFactory factory = makeSession,
                         const process::Bundle* bundle = nullptr);
    ~AppDelegate() override;

    // Non-owning; the window unsets it (or outlives the controller).
    LoginWindow* viewContrl = nullptr;
    std::unique_ptr<mqtt::MqttClient> mqtt;
    CollectionBuffer outputString;
    CollectionBuffer outputString2;
    const std::string clientID;
    std::string prefix;
    // The broker keep-alive; the program uses kKeepAlive, fault tests a shorter one.
    uint16_t keepAlive = kKeepAlive;

    // Starts the broker connection for an account whose login succeeded: ends
    // any earlier session and retrying, then connects with `credentials` (the
    // built-in ones when none).
    void start(std::string prefix, std::optional<BrokerCredentials> credentials = std::nullopt);
    // Ends the session and any retrying without telling the window (a new
    // login is starting).
    void stop();
    // Quitting: sends DISCONNECT (waiting at most 1 s for it to be written),
    // stops every running tool, then calls `done` on the event loop.
    void shutdown(std::function<void()> done);
    void setLoginWindow(LoginWindow* window) { viewContrl = window; }

    // Replaces the session with a new one and connects it.
    void connectMqtt();
    // Runs one command; `message` is the command's JSON text.
    void onReceivedMessage(const std::string& topic, const std::string& message);
    void disconnectCallback();
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

    // One device query (public so the query table can be a constant).
    struct Query;

  private:
    void startQuery(const Query& query);
    void collect(const Query& query, const std::string& piece);
    // Encodes a result and publishes it on the result topic.
    void publishResult(const MqttApi& result);

    ClientFactory m_factory;
    const process::Bundle* m_bundle;
    // Lets process callbacks that outlive the controller do nothing.
    std::shared_ptr<AppDelegate*> m_self;
};

}  // namespace tgw::app
