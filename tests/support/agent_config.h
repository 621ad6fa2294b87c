// Settings that point the agent at test servers: a login stub (trusting the
// test CA) and, when given, a mosquitto broker.
#pragma once

#include "app/config/config.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"

namespace tgw::test {

// Listens with `stub` if it does not yet.
inline app::Config agentConfig(LoginStub& stub, const MosquittoBroker* broker = nullptr) {
    app::Config config = app::Config::builtIn();
    stub.listen();
    config.webUrl = stub.url();
    config.caFile = MosquittoBroker::caFile();
    if (broker) {
        config.brokerHost = "localhost";
        config.brokerPort = broker->port();
    }
    return config;
}

}  // namespace tgw::test
