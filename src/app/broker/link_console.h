// The broker link's words for a person watching: the console line of each
// connection event, the log lines of its decisions, and the link's state as
// `--status` shows it. Only words; the link decides when each is said.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/broker/connection_state.h"
#include "mqtt/codec/client.h"

namespace tgw::app::link_console {

void connAck(mqtt::MqttConnAck ack);
void published();
void publishAck(uint16_t id);
void received(const std::optional<std::string>& text, uint16_t id);
void subscribed(const std::string& topic);
void unsubscribed(const std::string& topic);
void ping();
void pong();
// The connection ended, and why when it did not end cleanly.
void disconnected(const std::optional<std::string>& reason);
void skipped(const std::string& topic, size_t bytes);
void unknownAcks(uint64_t count);
// `dropped` results went, "held for " + `whose`.
void resultsDropped(size_t dropped, const char* whose);
void resultOfAnotherAccount();
void answeredWhileLeaving(size_t answers);

// Log lines.
void logConnecting(const std::string& broker, const std::string& user, const std::string& origin,
                   const std::string& clientID, const std::string& prefix, int attempt);
void logState(ConnectionState state);
void logReconnectIn(std::chrono::milliseconds delay);
void logShortLived(int inARow, const std::string& clientID);
void logSubAckMissed(std::chrono::milliseconds deadline);
void logLost(const mqtt::MqttError& error);
void logHeldAgain(size_t results);
void logResultDropped(size_t bytes);
void logUnsendable(size_t bytes);
void logDepartureGaveUp(bool quitting);
// Asks the untrusted broker for its certificate and logs what it shows; the
// names go to `names` too.
void reportUntrustedPeer(const std::string& host, uint16_t port, QObject* context,
                         std::function<void(const std::string&)> names);
// What the agent trusts for the broker ("trusted: the system's certificate
// authorities and the CA file ..."), logged at warning; for the last error.
std::string trusted(const std::string& caFile);
// The reason of a refusing CONNACK, logged; for the last error.
std::string refused(mqtt::MqttConnAck ack, const std::string& user, const std::string& origin);

// What a person asking sees of the link.
struct Facts {
    ConnectionState state;
    QDateTime since;
    std::string broker;  // host:port
    std::string user;
    std::string clientID;
    std::string prefix;
    std::string lastError;
    QDateTime lastErrorAt;
    size_t resultsHeld;
};
QJsonObject describe(const Facts& facts);

}  // namespace tgw::app::link_console
