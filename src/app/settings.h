// Where the agent connects: build-time defaults, overridden for deployment and
// tests by TGW_BROKER_HOST, TGW_BROKER_PORT, TGW_WEB_URL and TGW_CA_FILE.
#pragma once

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

}  // namespace tgw::app
