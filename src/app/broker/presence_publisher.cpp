#include "app/broker/presence_publisher.h"

namespace tgw::app {

namespace {

// The online status goes out at most this often.
constexpr qint64 kStatusIntervalMs = 1000;

}  // namespace

PresencePublisher::PresencePublisher(bool enabled, Presence presence, Publish publish)
    : m_enabled(enabled), m_presence(std::move(presence)), m_publish(std::move(publish)) {
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_context, [this] { publishOnline(); });
}

std::optional<std::string> PresencePublisher::online() const {
    if (!m_enabled) return std::nullopt;
    return m_presence.online();
}

std::optional<std::string> PresencePublisher::goodbye(OfflineReason reason) const {
    if (!m_enabled) return std::nullopt;
    return Presence::offline(reason);
}

void PresencePublisher::connected(const QDateTime& since) {
    m_connected = true;
    m_presence.setSince(since);
    publishOnline();
}

void PresencePublisher::disconnected() {
    m_connected = false;
    m_timer.stop();
}

void PresencePublisher::setDevices(std::string devices) {
    if (!m_presence.setDevices(std::move(devices)) || !m_connected || m_timer.isActive()) return;
    const qint64 since = m_lastStatus.isValid() ? m_lastStatus.elapsed() : kStatusIntervalMs;
    if (since >= kStatusIntervalMs) {
        publishOnline();
    } else {
        m_timer.start(int(kStatusIntervalMs - since));
    }
}

void PresencePublisher::publishOnline() {
    if (!m_enabled || !m_connected) return;
    m_timer.stop();
    m_publish(m_presence.online());
    m_lastStatus.start();
}

}  // namespace tgw::app
