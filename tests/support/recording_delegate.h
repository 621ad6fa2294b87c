// An MqttDelegate that records every callback as a line of text, in order.
#pragma once

#include <string>
#include <vector>

#include "mqtt/codec/client.h"

namespace tgw::test {

class RecordingDelegate : public tgw::mqtt::MqttDelegate {
  public:
    using MqttClient = tgw::mqtt::MqttClient;
    using MqttMessage = tgw::mqtt::MqttMessage;

    void didConnectAck(MqttClient&, tgw::mqtt::MqttConnAck ack) override {
        add(std::string("connack ") + tgw::mqtt::toString(ack));
        if (onConnAck) onConnAck(ack);
    }
    void didPublishMessage(MqttClient&, const std::string&, uint16_t id) override {
        add("published " + std::to_string(id));
    }
    void didPublishAck(MqttClient&, uint16_t id) override { add("puback " + std::to_string(id)); }
    void didReceiveMessage(MqttClient&, const MqttMessage& m, uint16_t id) override {
        add("message " + m.topic() + " " + m.string().value_or("<bytes>") + " qos" +
            std::to_string(static_cast<int>(m.qos())) + " id " + std::to_string(id));
        if (onMessage) onMessage(m);
    }
    void didSubscribeTopic(MqttClient&, const std::string& topic) override {
        add("subscribed " + topic);
    }
    void didUnsubscribeTopic(MqttClient&, const std::string& topic) override {
        add("unsubscribed " + topic);
    }
    void didPing(MqttClient&) override {
        add("ping");
        if (onPing) onPing();
    }
    void didReceivePong(MqttClient&) override { add("pong"); }
    void didDisconnect(MqttClient&, const std::optional<tgw::mqtt::MqttError>& e) override {
        add(e ? "disconnect: " + e->description : "disconnect");
        lastError = e;
    }
    bool handlesPublishComplete() const override { return wantsPublishComplete; }
    void didPublishComplete(MqttClient&, uint16_t id) override {
        add("pubcomp " + std::to_string(id));
    }
    void didSkipOversizedMessage(MqttClient&, const std::string& topic, size_t bytes) override {
        add("skipped " + topic + " " + std::to_string(bytes));
    }
    void didIgnoreUnknownAcks(MqttClient&, uint64_t count) override {
        add("unknown acks " + std::to_string(count));
    }
    bool evaluatesTrust() const override { return trustAnswer.has_value(); }
    void didReceiveTrust(MqttClient&, const tgw::mqtt::MqttServerTrust&,
                         std::function<void(bool)> completion) override {
        add("trust?");
        completion(*trustAnswer);
    }

    int count(const std::string& prefix) const {
        int n = 0;
        for (const auto& e : events) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    bool has(const std::string& prefix) const { return count(prefix) > 0; }

    std::vector<std::string> events;
    bool wantsPublishComplete = false;
    std::optional<bool> trustAnswer;
    std::optional<tgw::mqtt::MqttError> lastError;  // of the last didDisconnect
    std::function<void(tgw::mqtt::MqttConnAck)> onConnAck;
    std::function<void(const MqttMessage&)> onMessage;
    std::function<void()> onPing;

  private:
    void add(std::string e) { events.push_back(std::move(e)); }
};

}  // namespace tgw::test
