// Where the agent connects: build-time defaults, overridden for deployment and
// tests by TGW_BROKER_HOST, TGW_BROKER_PORT, TGW_WEB_URL and TGW_CA_FILE.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tgw::app {

std::string brokerHost();
uint16_t brokerPort();
// The web service's base address; always https (a non-https setting is ignored
// with a console line, and the build-time default is used).
std::string webServiceUrl();
// The contents of TGW_CA_FILE (PEM), or nothing.
std::vector<std::vector<uint8_t>> extraCaCertificates();

// Limits that keep the agent responsive and its memory bounded.
struct Limits {
    std::chrono::milliseconds loginTimeout{30'000};    // the HTTPS login request
    std::chrono::milliseconds connectTimeout{30'000};  // TCP + TLS + CONNACK
    std::chrono::milliseconds toolTimeLimit{120'000};  // one device query
    size_t maxIncomingPacket = 1 << 20;                // bytes of one MQTT packet
    size_t maxOutboundBytes = size_t{64} << 20;        // frames waiting to be sent
    size_t toolOutputCap = size_t{16} << 20;           // bytes collected for one query
    int maxConcurrentQueries = 4;
};

// The limits in force.
const Limits& limits();

}  // namespace tgw::app
