// Presence: what the web service sees of the agent without asking. The topic
// tg/<prefix>/tool/status holds, retained, either the online status (version,
// host, since when, the attached phones) or the offline one, which says why
// the agent went; the CONNECT's will stands for the offline status, with the
// reason "lost", when the agent vanishes without a word.
//
// Builds the payloads and the will only; the broker link decides when they go.
#pragma once

#include <QDateTime>
#include <string>
#include <string_view>

#include "app/protocol/topics.h"
#include "mqtt/codec/message.h"

namespace tgw::app {

// Why the agent went offline.
enum class OfflineReason {
    quit,      // the program ends
    logout,    // the technician logged out
    switched,  // another login replaced this one
    lost,      // the will: the connection died without a goodbye
};

class Presence {
  public:
    // {"type":"status","state":"offline","reason":"quit"}
    static std::string offline(OfflineReason reason);

    Presence(std::string agentVersion, std::string host);

    static std::string topic(const std::string& prefix) { return statusTopic(prefix); }
    // The offline status with the reason "lost", as a retained QoS 1 will.
    static mqtt::MqttWill will(const std::string& prefix);

    // {"type":"status","state":"online","agent":..,"host":..,"since":..,"devices":[..]}
    std::string online() const;
    // The start of the current connection (UTC).
    void setSince(const QDateTime& since) { m_since = since; }
    // `devices`: the JSON array of a devices reply's "data". False when it is
    // what the status already says.
    bool setDevices(std::string devices);

  private:
    std::string m_agentVersion;
    std::string m_host;
    QDateTime m_since;
    std::string m_devices = "[]";
};

}  // namespace tgw::app
