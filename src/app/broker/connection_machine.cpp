#include "app/broker/connection_machine.h"

#include <algorithm>
#include <utility>

namespace tgw::app {

namespace {

// A subscribed connection the broker ends sooner than this was cut short;
// several in a row suggest another client with the same id.
constexpr auto kShortLived = std::chrono::seconds(5);
constexpr int kShortLivedInARow = 3;

}  // namespace

void ConnectionMachine::report(Actions& a, ConnectionState state) {
    if (state == m_state) return;
    m_state = state;
    a.report = state;
}

void ConnectionMachine::newSession(Actions& a) {
    a.connect = true;
    m_session = true;
    m_credentialsRefused = m_connAckRefused = m_subscribed = false;
}

ConnectionMachine::Actions ConnectionMachine::start() {
    Actions a = stop();
    m_attempt = 0;
    m_waited = {};
    m_subAckMissed = false;
    m_shortLived = 0;
    report(a, ConnectionState::connecting);
    newSession(a);
    return a;
}

ConnectionMachine::Actions ConnectionMachine::stop(bool quitting) {
    Actions a;
    a.cancelReconnect = true;
    a.stopSubscribeDeadline = true;
    m_reconnecting = false;
    m_quitting = quitting;
    if (!quitting) {
        a.retire = m_session;
        m_session = false;
        m_subscribed = false;
        m_state = ConnectionState::disconnected;  // no report
    }
    return a;
}

ConnectionMachine::Actions ConnectionMachine::reconnectDue() {
    Actions a;
    a.stopSubscribeDeadline = true;
    a.retire = m_session;
    m_reconnecting = false;
    newSession(a);
    return a;
}

ConnectionMachine::Actions ConnectionMachine::connectFailed(double random) {
    Actions a;
    a.retire = true;
    m_session = false;
    report(a, ConnectionState::retrying);
    backOff(a, random);
    return a;
}

ConnectionMachine::Actions ConnectionMachine::connAck(mqtt::MqttConnAck ack) {
    Actions a;
    if (ack == mqtt::MqttConnAck::accepted) {
        a.subscribe = true;
        return a;
    }
    m_connAckRefused = true;
    if (ack == mqtt::MqttConnAck::badUserNameOrPassword ||
        ack == mqtt::MqttConnAck::notAuthorized) {
        m_credentialsRefused = true;  // trying again soon cannot help
        if (m_reconnecting) {
            // The end of this connection was reported first.
            a.cancelReconnect = true;
            report(a, ConnectionState::refused);
            waitForTheServerSide(a);
        }
    }
    return a;
}

ConnectionMachine::Actions ConnectionMachine::subscribed() {
    Actions a;
    a.stopSubscribeDeadline = true;
    m_subscribed = true;
    report(a, ConnectionState::connected);
    return a;
}

ConnectionMachine::Actions ConnectionMachine::subscribeTimedOut(double random) {
    if (!m_session || m_subscribed) return {};
    m_subAckMissed = true;
    m_session = false;
    Actions a = ended(ConnectionState::retrying, {}, random);
    a.retire = true;  // its own end, reported later, no longer counts
    return a;
}

ConnectionMachine::Actions ConnectionMachine::lost(const std::optional<mqtt::MqttError>& error,
                                                   std::chrono::milliseconds subscribedFor,
                                                   double random) {
    ConnectionState next = ConnectionState::retrying;
    if (m_quitting) {
        next = ConnectionState::disconnected;
    } else if (m_credentialsRefused ||
               (error && error->kind == mqtt::MqttErrorKind::subscriptionRefused)) {
        next = ConnectionState::refused;
    } else if (error && error->kind == mqtt::MqttErrorKind::untrustedCertificate) {
        next = ConnectionState::untrusted;
    }
    // The ended session stays current until the next attempt: a refusal's
    // CONNACK may be reported after its end.
    return ended(next, subscribedFor, random);
}

ConnectionMachine::Actions ConnectionMachine::ended(ConnectionState next,
                                                    std::chrono::milliseconds subscribedFor,
                                                    double random) {
    Actions a;
    a.stopSubscribeDeadline = true;
    if (m_subscribed) {
        if (subscribedFor >= m_delays.stable) {
            m_attempt = 0;
            m_waited = {};
        }
        m_shortLived = subscribedFor < kShortLived ? m_shortLived + 1 : 0;
        if (m_shortLived >= kShortLivedInARow && next == ConnectionState::retrying) {
            a.shortLivedInARow = m_shortLived;
        }
        m_subscribed = false;
    }
    report(a, next);
    if (m_quitting) return a;
    if (next == ConnectionState::retrying) backOff(a, random);
    if (next == ConnectionState::refused || next == ConnectionState::untrusted)
        waitForTheServerSide(a);
    return a;
}

ConnectionMachine::Actions ConnectionMachine::reconnectNow() {
    if (!m_reconnecting) return {};
    Actions a = reconnectDue();
    a.cancelReconnect = true;
    return a;
}

void ConnectionMachine::waitForTheServerSide(Actions& a) {
    m_lastDelay = m_delays.afterRefusal;
    m_reconnecting = true;
    a.reconnectIn = m_delays.afterRefusal;
}

void ConnectionMachine::backOff(Actions& a, double random) {
    auto delay = reconnectDelay(m_delays, m_attempt++, m_waited, random);
    if (std::exchange(m_subAckMissed, false)) delay = std::min(delay, m_subscribeTimeout * 3 / 4);
    m_waited += delay;
    m_lastDelay = delay;
    m_reconnecting = true;
    a.reconnectIn = delay;
}

}  // namespace tgw::app
