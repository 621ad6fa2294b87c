// Where the agent connects and the limits it keeps, as configured: build-time
// defaults, the configuration files, the TGW_* environment variables and the
// command line (app/config.h has the layers and where each value came from).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tgw::app {

std::string brokerHost();
uint16_t brokerPort();
// The web service's base address; always https, without a trailing slash.
std::string webServiceUrl();
// The contents of the configured CA file (PEM), or nothing.
std::vector<std::vector<uint8_t>> extraCaCertificates();
// The broker account: the program's own unless the configuration names one (a
// login reply may still carry per-account credentials, which take precedence).
std::string brokerUsername();
std::string brokerPassword();

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
