// The link's settings from the program's Config, the sessions it makes, its
// client id, its randomness and the states' names for the log.
#include <unistd.h>

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSysInfo>

#include "app/broker/broker_link.h"
#include "app/config/config.h"
#include "mqtt/session.h"

namespace tgw::app {

// The prefix kept for brokers' ACL patterns, the process id, and a random
// part drawn at start: process ids repeat across PCs.
std::string BrokerLink::makeClientID() {
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", QRandomGenerator::system()->generate());
    return "TGW-API-MOBILE-TOOL-" + std::to_string(::getpid()) + "-" + suffix;
}

double BrokerLink::random() const {
    return QRandomGenerator::global()->generateDouble() * 2 - 1;
}

const char* stateName(ConnectionState s) {
    switch (s) {
        case ConnectionState::connecting: return "connecting";
        case ConnectionState::connected: return "connected";
        case ConnectionState::retrying: return "retrying";
        case ConnectionState::refused: return "refused";
        case ConnectionState::untrusted: return "untrusted";
        case ConnectionState::disconnected: return "disconnected";
    }
    return "?";
}

BrokerSettings BrokerSettings::from(const Config& config) {
    BrokerSettings s;
    s.host = config.brokerHost.toStdString();
    s.port = config.brokerPort;
    s.account = {config.brokerUsername.toStdString(), config.brokerPassword.toStdString()};
    const auto origin = config.origins.find("broker/username");
    if (origin != config.origins.end()) s.accountOrigin = origin->second.toStdString();
    s.subscribeTimeout = std::min(config.limits.connectTimeout, s.subscribeTimeout);
    s.maxOutboundBytes = config.limits.maxOutboundBytes;
    s.presence = config.presenceEnabled;
    s.caFile = config.caFile.toStdString();
    return s;
}

Presence BrokerSettings::presenceOf() const {
    return Presence(
        agentVersion.empty() ? QCoreApplication::applicationVersion().toStdString() : agentVersion,
        hostName.empty() ? QSysInfo::machineHostName().toStdString() : hostName);
}

BrokerLink::ClientFactory BrokerLink::sessionFactory(const Config& config) {
    return [caFile = config.caFile, limits = config.limits](
               const std::string& clientID, const std::string& host, uint16_t port,
               mqtt::MqttDelegate& delegate) -> std::unique_ptr<mqtt::MqttClient> {
        auto session = std::make_unique<mqtt::MqttSession>(clientID, host, port);
        session->setDelegate(&delegate);
        session->setEnableSSL(true);
        session->setExtraCaCertificates(readCaCertificates(caFile));
        session->setConnectTimeout(limits.connectTimeout);
        session->setMaxIncomingPacketSize(limits.maxIncomingPacket);
        return session;
    };
}

}  // namespace tgw::app
