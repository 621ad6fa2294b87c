// A recording MqttClient: keeps its settings and every operation asked of it.
#pragma once

#include <string>
#include <vector>

#include "mqtt/codec/client.h"

namespace tgw::test {

class FakeClient : public tgw::mqtt::MqttClient {
  public:
    struct Published {
        std::string topic;
        std::string payload;
        tgw::mqtt::MqttQos qos;
        bool retained;
        bool dup;
    };

    FakeClient(std::string id, std::string h, uint16_t p)
        : id(std::move(id)), hostName(std::move(h)), portNumber(p) {}

    std::string host() const override { return hostName; }
    uint16_t port() const override { return portNumber; }
    std::string clientID() const override { return id; }
    std::optional<std::string> username() const override { return user; }
    void setUsername(std::optional<std::string> u) override { user = std::move(u); }
    std::optional<std::string> password() const override { return pass; }
    void setPassword(std::optional<std::string> p) override { pass = std::move(p); }
    bool cleanSession() const override { return true; }
    void setCleanSession(bool) override {}
    uint16_t keepAlive() const override { return keep; }
    void setKeepAlive(uint16_t k) override { keep = k; }
    std::optional<tgw::mqtt::MqttWill> willMessage() const override { return std::nullopt; }
    void setWillMessage(std::optional<tgw::mqtt::MqttWill>) override {}
    bool connect() override {
        ++connects;
        return true;
    }
    void disconnect() override { ++disconnects; }
    void ping() override {}
    uint16_t subscribe(const std::string& topic, tgw::mqtt::MqttQos qos) override {
        subscribed.push_back(topic + " qos" + std::to_string(static_cast<int>(qos)));
        return 2;
    }
    uint16_t unsubscribe(const std::string&) override { return 3; }
    using MqttClient::publish;
    uint16_t publish(const tgw::mqtt::MqttMessage& m) override {
        published.push_back(
            {m.topic(), m.string().value_or("<bytes>"), m.qos(), m.retained(), m.dup()});
        return nextId++;
    }

    std::string id, hostName;
    uint16_t portNumber;
    std::optional<std::string> user, pass;
    uint16_t keep = 0;
    uint16_t nextId = 4;  // ids handed out by publish()
    int connects = 0, disconnects = 0;
    std::vector<std::string> subscribed;
    std::vector<Published> published;
};

}  // namespace tgw::test
