#include "app/broker/outbox_pump.h"

#include "app/broker/link_console.h"
#include "app/protocol/topics.h"

namespace tgw::app {

void publishWaiting(Outbox& outbox, mqtt::MqttClient& client) {
    while (outbox.canSend()) {
        const Outbox::Message& next = outbox.next();
        const bool status = next.kind == Outbox::Kind::status;
        const uint16_t id =
            client.publish(status ? statusTopic(next.prefix) : resultTopic(next.prefix),
                           next.payload, mqtt::MqttQos::qos1, status, false);
        if (id == 0) {  // the window keeps ids free: only a message no packet can carry
            link_console::logUnsendable(next.payload.size());
            outbox.dropNext();
            continue;
        }
        outbox.sent(id);
    }
}

}  // namespace tgw::app
