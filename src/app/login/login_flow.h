// LoginFlow: one login from the button to the broker. Ends the connection of
// any earlier login (and its retrying), asks the web service, and on success
// hands the account's prefix and broker credentials to the connection. The
// window only starts it and shows what it reports.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "app/broker/connection_state.h"
#include "app/login/login_client.h"

namespace tgw::app {

class LoginFlow {
  public:
    // What a login drives: the account's broker connection.
    class Connection {
      public:
        virtual ~Connection() = default;
        virtual void stop() = 0;
        virtual void start(std::string prefix, std::optional<BrokerCredentials> credentials) = 0;
    };
    using Done = std::function<void(LoginClient::Outcome)>;

    // `client` and `connection` must outlive the flow.
    LoginFlow(LoginClient& client, Connection& connection)
        : m_client(client), m_connection(connection) {}

    // Starts a login; `done` is called once, later, with its outcome, after
    // an accepted login has started the connection.
    void logIn(const QString& email, const QString& password, Done done);
    bool isRunning() const { return m_client.isRunning(); }
    // Ends a running login; its `done` is not called.
    void abandon() { m_client.abandon(); }

  private:
    LoginClient& m_client;
    Connection& m_connection;
};

}  // namespace tgw::app
