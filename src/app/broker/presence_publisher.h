// PresencePublisher: when the agent's status goes out. The online status
// follows each connection's SUBACK and every change of the phones while
// connected, at most once a second (a later change waits for the rest of that
// second); the offline status is the goodbye of a clean end. What it decides to
// publish goes to `publish`; the outbox carries it. With presence off it
// publishes nothing and the link carries no will.
//
// Lives on the main thread; owned by the BrokerLink.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>

#include "app/protocol/presence.h"

namespace tgw::app {

class PresencePublisher {
  public:
    using Publish = std::function<void(std::string payload)>;

    PresencePublisher(bool enabled, Presence presence, Publish publish);

    bool enabled() const { return m_enabled; }
    // The online status as it would be published now; none with presence off.
    std::optional<std::string> online() const;
    // The offline status saying `reason`; none with presence off.
    std::optional<std::string> goodbye(OfflineReason reason) const;
    // The connection was subscribed at `since`: the online status goes now.
    void connected(const QDateTime& since);
    // The connection ended: nothing more goes out for it.
    void disconnected();
    // The phones, as the JSON array of a devices reply's "data".
    void setDevices(std::string devices);

  private:
    void publishOnline();

    bool m_enabled;
    bool m_connected = false;
    Presence m_presence;
    Publish m_publish;
    QElapsedTimer m_lastStatus;  // since the last online status went out
    QObject m_context;           // receiver of the timer; goes first
    QTimer m_timer;              // the next online status, when one went out less than 1 s ago
};

}  // namespace tgw::app
