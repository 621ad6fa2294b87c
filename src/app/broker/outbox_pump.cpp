#include "app/broker/outbox_pump.h"

#include "app/broker/link_console.h"
#include "app/protocol/topics.h"

namespace tgw::app {

void publishWaiting(Outbox& outbox, mqtt::MqttClient& client) {
    while (outbox.canSend()) {
        const Outbox::Message& next = outbox.next();
        const bool status = next.kind == Outbox::Kind::status;
        const bool record = next.kind == Outbox::Kind::record;
        const std::string topic = record   ? next.topic
                                  : status ? statusTopic(next.prefix)
                                           : resultTopic(next.prefix);
        const uint16_t id =
            client.publish(topic, next.payload, mqtt::MqttQos::qos1, status || record, false);
        if (id == 0) {  // the window keeps ids free: only a message no packet can carry
            link_console::logUnsendable(next.payload.size());
            outbox.dropNext();
            continue;
        }
        outbox.sent(id);
    }
}

}  // namespace tgw::app
