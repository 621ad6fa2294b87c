// The seam between the one Outbox and the session of the moment: hands the
// session what the outbox's window lets go now, results on the result topic,
// statuses retained on the status topic, phone records retained on their own
// topics, all at QoS 1, and notes each packet
// id in the outbox. Called after every change that may open the window (a
// new message, an acknowledgement, a new subscribed connection).
//
// Every session is a clean one, so the broker forgets unacknowledged packet
// ids with the connection (MQTT 3.1.1, 3.1.2.4): what the old session had not
// seen acknowledged is published afresh, with new ids and DUP 0, on the next.
#pragma once

#include "app/broker/outbox.h"
#include "mqtt/codec/client.h"

namespace tgw::app {

void publishWaiting(Outbox& outbox, mqtt::MqttClient& client);

}  // namespace tgw::app
