// LoginFlow: one login from the button to the broker. Ends the connection of
// any earlier login (and its retrying), asks the web service, and on success
// hands the account's prefix and broker credentials to the connection. The
// window only starts it and shows what it reports.
//
// With a credential store it also remembers an accepted login when asked to,
// logs in with the remembered one at start (restore), and forgets it when the
// technician logs out or the web service turns it down.
//
// A remembered login that fails for want of the web service (no answer, a
// server error) is tried again by itself, with growing waits, until it is
// accepted or turned down, another login begins or the technician logs out:
// the technician never types a password that was kept.
#pragma once

#include <QDateTime>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "app/broker/connection_state.h"
#include "app/broker/reconnect_policy.h"
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
    // e-mail address of the remembered one, whose login has then started
    // (`email` without `started`: an address to offer, no usable login).
    struct Restored {
        bool keyring = false;
        std::optional<QString> email;
        bool started = false;
    };

    // The waits between the tries of a remembered login: at most 30 s, so
    // that a web service that is back is used within half a minute.
    static ReconnectDelays defaultRetryDelays() {
        ReconnectDelays d;
        d.cap = std::chrono::seconds(30);
        return d;
    }

    // `client` and `connection` must outlive the flow.
    LoginFlow(LoginClient& client, Connection& connection);
    ~LoginFlow();

    // Non-owning; must outlive the flow. None: nothing is remembered.
    void setCredentialStore(CredentialStore* store) { m_store = store; }
    void setRetryDelays(ReconnectDelays delays) { m_delays = delays; }

    // Starts a login; `done` is called once, later, with its outcome, after
    // an accepted login has started the connection (and, with `remember`,
    // has been handed to the store; without it, any remembered one is forgotten).
    void logIn(const QString& email, const QString& password, Done done) {
        logIn(email, password, false, std::move(done));
    }
    void logIn(const QString& email, const QString& password, bool remember, Done done);
    // Reads the store; when it holds a login, starts it as logIn would (its
    // outcome goes to `done`, once per try). `found` comes first, once.
    void restore(std::function<void(const Restored&)> found, Done done);
    // The technician logs out: no login, no connection, no retrying, nothing
    // remembered.
    void logOut();
    bool isRunning() const { return m_client.isRunning(); }
    // Ends a running login and any retrying; its `done` is not called.
    void abandon();

    // When the remembered login is tried next; none when it is not waiting.
    const std::optional<QDateTime>& retryAt() const { return m_retryAt; }
    // Tries the waiting remembered login now.
    void retryNow();

    // For a person asking: the e-mail address in use (empty when none), the
    // last failed login's reason with the web address, and its time (UTC).
    const QString& email() const { return m_email; }
    const std::string& lastError() const { return m_lastError; }
    const QDateTime& lastErrorAt() const { return m_lastErrorAt; }
    // An accepted login is in force.
    bool loggedIn() const { return m_loggedIn; }
    // The technician logged out, and no login has begun since.
    bool loggedOut() const { return m_loggedOut; }

  private:
    void begin(StoredLogin login, bool remember, bool restored, Done done);
    // Whether the failed remembered login waits for another try.
    bool retryLater(const LoginClient::Result& result, bool restored, const Done& done);
    void ended(LoginClient::Outcome outcome, bool restored);
    void stopRetrying();

    LoginClient& m_client;
    Connection& m_connection;
    CredentialStore* m_store = nullptr;
    bool m_keyring = true;  // false once the store said it has no keyring
    StoredLogin m_pending;  // the running login, kept to be remembered; wiped at its end
    bool m_remember = false;
    bool m_begun = false;  // the technician began a login: a remembered one read later is not used

    ReconnectDelays m_delays = defaultRetryDelays();
    QTimer m_retryTimer;
    Done m_retryDone;  // the waiting remembered login's completion
    std::optional<QDateTime> m_retryAt;
    int m_attempt = 0;
    std::chrono::milliseconds m_waited{0};

    QString m_email;
    std::string m_lastError;
    QDateTime m_lastErrorAt;
    bool m_loggedIn = false;
    bool m_loggedOut = false;
};

}  // namespace tgw::app
