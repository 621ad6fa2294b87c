// Departure: a connection saying goodbye (log-out, account switch, quitting).
// It clears the account's phone records (empty retained messages on their
// topics: the agent can no longer say when those phones go), publishes the
// offline status, answers each command that still arrives
// with an error result instead of running it (leaving_answers.h), and sends
// DISCONNECT once the broker has acknowledged all of those; with nothing to
// publish it sends DISCONNECT at once. It gives up after 1 s. Its packet ids are kept
// in the outbox, beside those of the current connection. One departure at a
// time: a new one ends the one before.
//
// Lives on the main thread; owned by the BrokerLink, which passes it the
// events of the departing client.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/codec/client.h"

namespace tgw::app {

class Outbox;

class Departure {
  public:
    // `outbox` must outlive this; `ended` is called when a departure is over,
    // with true when it gave up waiting.
    Departure(Outbox& outbox, std::function<void(bool byTimer)> ended);
    ~Departure();

    // `client` (connected) says goodbye for the account `prefix`: clears the
    // record topics `clears`, then publishes `goodbye`, the offline status
    // (none with presence off).
    void begin(std::unique_ptr<mqtt::MqttClient> client, std::string prefix,
               std::optional<std::string> goodbye, const std::vector<std::string>& clears = {});
    bool active() const { return m_client != nullptr; }
    bool is(const mqtt::MqttClient& client) const { return &client == m_client.get(); }

    // Events of the departing client.
    void acknowledged(uint16_t id);
    // Returns how many error results answered it; a "status" gets the goodbye.
    size_t commandArrived(const std::string& text);
    void disconnected() { end(false); }

  private:
    void end(bool byTimer);

    Outbox& m_outbox;
    std::function<void(bool)> m_ended;
    std::unique_ptr<mqtt::MqttClient> m_client;
    std::string m_prefix;
    std::optional<std::string> m_goodbye;
    std::vector<std::unique_ptr<mqtt::MqttClient>> m_retired;  // deleted on the event loop
    QObject m_context;  // receiver of the timer and queued work; goes first
    QTimer m_timer;
};

}  // namespace tgw::app
