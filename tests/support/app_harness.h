// The agent's controller against a real broker: settings that point at it, a
// session factory that lets a test reach the sessions it made,
// a window that records the connection states, and the web service's
// stand-in that sends commands and collects results.
#pragma once

#include <QByteArray>
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/config/settings.h"
#include "mqtt/session.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"

namespace tgw::test {

// The built-in settings pointed at `broker` (host, port, test CA).
inline app::Config brokerConfig(const MosquittoBroker& broker,
                                const QString& caFile = MosquittoBroker::caFile()) {
    app::Config config = app::Config::builtIn();
    config.brokerHost = "localhost";
    config.brokerPort = broker.port();
    config.caFile = caFile;
    return config;
}

// Makes the program's real sessions and keeps track of them, so that a test
// can reach the concrete session without casting the controller's client.
class SessionKeeper {
  public:
    app::BrokerLink::ClientFactory factory(const app::Config& config) {
        return [this, make = app::BrokerLink::sessionFactory(config)](
                   const std::string& id, const std::string& host, uint16_t port,
                   mqtt::MqttDelegate& delegate) {
            auto client = make(id, host, port, delegate);
            latest = static_cast<mqtt::MqttSession*>(client.get());
            ++made;
            if (connectTimeout) setConnectTimeout(*latest, *connectTimeout);
            return client;
        };
    }

    // Valid until the controller replaces the session.
    mqtt::MqttSession* latest = nullptr;
    int made = 0;
    std::optional<std::chrono::milliseconds> connectTimeout;

  private:
    static void setConnectTimeout(mqtt::MqttSession& s, std::chrono::milliseconds t) {
        s.setConnectTimeout(t);
    }
};

// A login window that remembers every state it was shown.
class StateRecorder : public app::LoginWindow {
  public:
    void connectionStateChanged(app::ConnectionState s) override { states.push_back(s); }
    bool saw(app::ConnectionState s) const {
        return std::find(states.begin(), states.end(), s) != states.end();
    }
    std::vector<app::ConnectionState> states;
};

// The web service: subscribes to the result topic of `prefix`, sends commands,
// keeps every result payload. Its session is persistent (client id fixed,
// clean session off) so a broker with persistence keeps its results.
class WebStandIn : public mqtt::MqttDelegate {
  public:
    WebStandIn(const MosquittoBroker& broker, std::string prefix, bool persistent = false)
        : m_broker(broker), m_prefix(std::move(prefix)), m_persistent(persistent) {}

    // Connects and subscribes; false after 10 s without the SUBACK.
    bool connect() {
        m_subscribed = false;
        session =
            std::make_unique<mqtt::MqttSession>("web-" + m_prefix, "localhost", m_broker.port());
        session->setDelegate(this);
        session->setEnableSSL(true);
        session->setExtraCaCertificates(app::readCaCertificates(MosquittoBroker::caFile()));
        session->setUsername(app::AppDelegate::kUsername);
        session->setPassword(app::AppDelegate::kPassword);
        session->setCleanSession(!m_persistent);
        acceptLargeResults(*session);
        session->connect();
        return waitUntil([&] { return m_subscribed; }, 10000);
    }
    // Publishes a command, keeping at most 500 of its own unacknowledged.
    void send(const std::string& command) {
        waitUntil([&] { return sent - acked < 500; }, 30000);
        session->publish("tg/" + m_prefix + "/tool", command);
        ++sent;
    }
    bool waitForResults(size_t n, int timeoutMs = 20000) {
        return waitUntil([&] { return results.size() >= n; }, timeoutMs);
    }
    int count(const std::string& payload) const {
        return static_cast<int>(std::count(results.begin(), results.end(), payload));
    }

    void didConnectAck(mqtt::MqttClient& c, mqtt::MqttConnAck ack) override {
        if (ack == mqtt::MqttConnAck::accepted) c.subscribe("tg/" + m_prefix + "/tool/web");
    }
    void didSubscribeTopic(mqtt::MqttClient&, const std::string&) override { m_subscribed = true; }
    void didReceiveMessage(mqtt::MqttClient&, const mqtt::MqttMessage& m, uint16_t) override {
        std::string text = m.string().value_or("<bytes>");
        ++(text == app::kSyncReply ? syncReplies : otherResults);
        if (keepResults) results.push_back(std::move(text));
    }
    void didPublishAck(mqtt::MqttClient&, uint16_t) override { ++acked; }
    void didPublishMessage(mqtt::MqttClient&, const std::string&, uint16_t) override {}
    void didUnsubscribeTopic(mqtt::MqttClient&, const std::string&) override {}
    void didPing(mqtt::MqttClient&) override {}
    void didReceivePong(mqtt::MqttClient&) override {}
    void didDisconnect(mqtt::MqttClient&, const std::optional<mqtt::MqttError>&) override {}

    std::unique_ptr<mqtt::MqttSession> session;
    std::vector<std::string> results;  // while keepResults
    bool keepResults = true;
    int syncReplies = 0;
    int otherResults = 0;
    long sent = 0;
    long acked = 0;

  private:
    // Results may be as large as the agent's output cap and more.
    static void acceptLargeResults(mqtt::MqttSession& s) {
        s.setMaxIncomingPacketSize(size_t{128} << 20);
    }

    const MosquittoBroker& m_broker;
    std::string m_prefix;
    bool m_persistent;
    bool m_subscribed = false;
};

}  // namespace tgw::test
