#include "mqtt/codec/client.h"

namespace tgw::mqtt {

MqttConnAck connAckFromCode(uint8_t code) {
    return code > 5 ? MqttConnAck::reservedCode : static_cast<MqttConnAck>(code);
}

const char* toString(MqttConnAck ack) {
    switch (ack) {
        case MqttConnAck::accepted: return "accepted";
        case MqttConnAck::unacceptableProtocolVersion: return "unacceptableProtocolVersion";
        case MqttConnAck::identifierRejected: return "identifierRejected";
        case MqttConnAck::serverUnavailable: return "serverUnavailable";
        case MqttConnAck::badUserNameOrPassword: return "badUserNameOrPassword";
        case MqttConnAck::notAuthorized: return "notAuthorized";
        case MqttConnAck::reservedCode: return "reservedCode";
    }
    return "reservedCode";
}

}  // namespace tgw::mqtt
