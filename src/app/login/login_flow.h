// LoginFlow: one login from the button to the broker. Ends the connection of
// any earlier login (and its retrying), asks the web service, and on success
// hands the account's prefix and broker credentials to the connection. The
// window only starts it and shows what it reports.
//
// With a credential store it also remembers an accepted login when asked to,
// logs in with the remembered one at start (restore), and forgets it when the
// technician logs out or the web service turns it down.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "app/broker/connection_state.h"
#include "app/login/credential_store.h"
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
        // The technician logged out: nothing more runs, waits or is sent for
        // the account.
        virtual void end() { stop(); }
    };
    using Done = std::function<void(LoginClient::Outcome)>;
    // What restore() found: whether logins can be remembered at all, and the
    // e-mail address of the remembered one, whose login has then started.
    struct Restored {
        bool keyring = false;
        std::optional<QString> email;
    };

    // `client` and `connection` must outlive the flow.
    LoginFlow(LoginClient& client, Connection& connection)
        : m_client(client), m_connection(connection) {}
    ~LoginFlow();

    // Non-owning; must outlive the flow. None: nothing is remembered.
    void setCredentialStore(CredentialStore* store) { m_store = store; }

    // Starts a login; `done` is called once, later, with its outcome, after
    // an accepted login has started the connection (and, with `remember`,
    // has been handed to the store; without it, any remembered one is forgotten).
    void logIn(const QString& email, const QString& password, Done done) {
        logIn(email, password, false, std::move(done));
    }
    void logIn(const QString& email, const QString& password, bool remember, Done done);
    // Reads the store; when it holds a login, starts it as logIn would (its
    // outcome goes to `done`). `found` comes first, once.
    void restore(std::function<void(const Restored&)> found, Done done);
    // The technician logs out: no login, no connection, no retrying, nothing
    // remembered.
    void logOut();
    bool isRunning() const { return m_client.isRunning(); }
    // Ends a running login; its `done` is not called.
    void abandon();

  private:
    void begin(StoredLogin login, bool remember, bool restored, Done done);
    void ended(LoginClient::Outcome outcome, bool restored);

    LoginClient& m_client;
    Connection& m_connection;
    CredentialStore* m_store = nullptr;
    StoredLogin m_pending;  // the running login, kept to be remembered; wiped at its end
    bool m_remember = false;
    bool m_begun = false;  // the technician began a login: a remembered one read later is not used
};

}  // namespace tgw::app
