// ConnectionMachine: the broker connection's states and what follows each
// event, as a pure machine: events in, actions out, no Qt, no clock, no I/O.
// The owner (BrokerLink) feeds it what its session and timers report and
// carries out the actions it returns; the randomness of the back-off and how
// long a connection stayed subscribed come in with the events.
//
// After an unexpected loss it connects again with a growing back-off, reset
// only by a connection that stayed subscribed for a while; a refused account,
// an untrusted certificate or a refused subscription need someone on the
// server side: they are tried again only after a long wait
// (ReconnectDelays::afterRefusal), or at once when asked (reconnectNow). A
// connection that gets no SUBACK in time counts as lost, and the attempt after
// it comes within three quarters of that deadline whatever the back-off.
#pragma once

#include <chrono>
#include <optional>

#include "app/broker/connection_state.h"
#include "app/broker/reconnect_policy.h"
#include "mqtt/codec/client.h"

namespace tgw::app {

class ConnectionMachine {
  public:
    // What the owner does in answer to one event, in this order.
    struct Actions {
        bool retire = false;           // end and retire the current session
        bool cancelReconnect = false;  // stop a pending back-off
        bool connect = false;          // make a new session and connect it
        bool subscribe = false;        // subscribe to the command topic, start the SUBACK deadline
        bool stopSubscribeDeadline = false;
        std::optional<std::chrono::milliseconds> reconnectIn;  // start the back-off
        std::optional<ConnectionState> report;                 // tell the listener
        // Subscribed connections in a row the broker ended within seconds,
        // when that many suggest another client with the same id.
        int shortLivedInARow = 0;
    };

    // `subscribeTimeout` is the SUBACK deadline the owner applies.
    ConnectionMachine(ReconnectDelays delays, std::chrono::milliseconds subscribeTimeout)
        : m_delays(delays), m_subscribeTimeout(subscribeTimeout) {}

    // A login succeeded: connect afresh, the back-off from its start.
    Actions start();
    // Ends everything without a report (log-out, account switch); `quitting`
    // makes the end of the connection final.
    Actions stop(bool quitting = false);
    // The session could not even start connecting.
    Actions connectFailed(double random);
    Actions connAck(mqtt::MqttConnAck ack);
    Actions subscribed();
    Actions subscribeTimedOut(double random);
    // The session ended. `subscribedFor`: how long it had been subscribed.
    Actions lost(const std::optional<mqtt::MqttError>& error,
                 std::chrono::milliseconds subscribedFor, double random);
    // The back-off is over.
    Actions reconnectDue();
    // Someone asks for an attempt now: the pending wait ends at once. Nothing
    // while an attempt runs or nothing is pending.
    Actions reconnectNow();
    // An attempt waits for its time (a back-off or the wait after a refusal).
    bool reconnectPending() const { return m_reconnecting; }

    ConnectionState state() const { return m_state; }
    bool subscribedNow() const { return m_subscribed; }
    // The last CONNACK refused the connection (its reason says more than the end's).
    bool connAckRefused() const { return m_connAckRefused; }
    int attempt() const { return m_attempt; }
    // The wait just scheduled, for the log.
    std::chrono::milliseconds lastDelay() const { return m_lastDelay; }

  private:
    Actions ended(ConnectionState next, std::chrono::milliseconds subscribedFor, double random);
    void backOff(Actions& a, double random);
    // The long wait after a refusal or an untrusted certificate.
    void waitForTheServerSide(Actions& a);
    void report(Actions& a, ConnectionState state);
    // A new connection attempt, nothing of the last one's answers kept.
    void newSession(Actions& a);

    ReconnectDelays m_delays;
    std::chrono::milliseconds m_subscribeTimeout;
    ConnectionState m_state = ConnectionState::disconnected;
    int m_attempt = 0;                      // attempts since the last stable connection
    std::chrono::milliseconds m_waited{0};  // and the time waited before them
    std::chrono::milliseconds m_lastDelay{0};
    bool m_session = false;             // a session is current (connecting or up)
    bool m_reconnecting = false;        // a back-off is pending
    bool m_subAckMissed = false;        // the latest connection ended for want of SUBACK
    bool m_subscribed = false;          // the current session has its SUBACK
    bool m_credentialsRefused = false;  // CONNACK 4 or 5 on the current session
    bool m_connAckRefused = false;      // any refusing CONNACK on the current session
    bool m_quitting = false;
    int m_shortLived = 0;
};

}  // namespace tgw::app
