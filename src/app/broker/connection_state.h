// The broker connection's states as the rest of the agent sees them, and the
// broker account a login may hand out.
#pragma once

#include <string>

namespace tgw::app {

enum class ConnectionState {
    connecting,    // from start() until the broker's SUBACK for the command topic
    connected,     // subscribed: commands arrive
    retrying,      // lost unexpectedly; connecting again after a back-off
    refused,       // the broker refused the credentials or the subscription: no retry
    untrusted,     // the broker's certificate is not trusted: no retry
    disconnected,  // ended, and not retrying for another reason
};

// "connecting", "connected", ... for the log.
const char* stateName(ConnectionState state);

// Broker credentials that a login reply may carry for its account.
struct BrokerCredentials {
    std::string username;
    std::string password;
};

}  // namespace tgw::app
