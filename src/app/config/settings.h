// The limits the agent keeps and the constants they are checked against; the
// configuration (config.h) carries the values in force.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <QString>

#include "mqtt/codec/frame.h"

namespace tgw::app {

// The program's own broker account, used when neither a login reply nor the
// configuration names one.
inline constexpr const char* kBuiltInBrokerUsername = "tanglow_web";
inline constexpr const char* kBuiltInBrokerPassword = "palmoc5829";

// Room a result needs besides its tool's output: the JSON around it, the
// topic and the packet's header.
inline constexpr size_t kResultEnvelope = 0x10000;
// The largest tool output a result can carry in one packet however it is
// escaped (JSON turns a byte into at most six: "\u001f").
inline constexpr size_t kMaxToolOutputCap = (mqtt::kMaxRemainingLength - kResultEnvelope - 4) / 6;

// Limits that keep the agent responsive and its memory bounded.
struct Limits {
    std::chrono::milliseconds loginTimeout{30'000};    // the HTTPS login request
    std::chrono::milliseconds connectTimeout{30'000};  // TCP + TLS + CONNACK, and the SUBACK
    std::chrono::milliseconds toolTimeLimit{120'000};  // one device query
    size_t maxIncomingPacket = 1 << 20;                // bytes of one MQTT packet
    size_t maxOutboundBytes = size_t{64} << 20;        // every byte held for results
    size_t toolOutputCap = size_t{16} << 20;           // bytes collected for one query
    int maxConcurrentQueries = 4;
    // Phones whose identity is read at once, beside the tool queries: each
    // read runs one phone's tools one after the other.
    int maxConcurrentReads = 16;
    // Queries waiting for their turn; a command beyond it is answered at once
    // with an error.
    int maxWaitingQueries = 1000;
};

// The CA certificates (PEM) in `path`, read now (so a renewed file counts
// without a restart); nothing, with a warning, when it cannot be read.
std::vector<std::vector<uint8_t>> readCaCertificates(const QString& path);

}  // namespace tgw::app
