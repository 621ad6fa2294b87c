// An MqttDelegate that does nothing: for tests that watch the wire or the
// session's state, not the callbacks.
#pragma once

#include "mqtt/codec/client.h"

namespace tgw::test {

class NullDelegate : public tgw::mqtt::MqttDelegate {
  public:
    using MqttClient = tgw::mqtt::MqttClient;
    using MqttMessage = tgw::mqtt::MqttMessage;

    void didConnectAck(MqttClient&, tgw::mqtt::MqttConnAck) override {}
    void didPublishMessage(MqttClient&, const std::string&, uint16_t) override {}
    void didPublishAck(MqttClient&, uint16_t) override {}
    void didReceiveMessage(MqttClient&, const MqttMessage&, uint16_t) override {}
    void didSubscribeTopic(MqttClient&, const std::string&) override {}
    void didUnsubscribeTopic(MqttClient&, const std::string&) override {}
    void didPing(MqttClient&) override {}
    void didReceivePong(MqttClient&) override {}
    void didDisconnect(MqttClient&, const std::optional<tgw::mqtt::MqttError>&) override {}
};

}  // namespace tgw::test
