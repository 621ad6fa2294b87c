#include "app/login/login_flow.h"

#include "common/diagnostics.h"

namespace tgw::app {

LoginFlow::~LoginFlow() {
    abandon();
}

void LoginFlow::logIn(const QString& email, const QString& password, bool remember, Done done) {
    m_begun = true;
    begin({email, password}, remember, false, std::move(done));
}

void LoginFlow::restore(std::function<void(const Restored&)> found, Done done) {
    if (!m_store) return found({});
    m_store->load([this, found = std::move(found), done = std::move(done)](
                      CredentialStore::Found what, StoredLogin login) mutable {
        Restored restored{what != CredentialStore::Found::noKeyring, std::nullopt};
        if (what == CredentialStore::Found::login && m_begun) {
            // The keyring answered late: the login the technician started wins.
            qCInfo(lcLogin) << "the remembered login is not used: another login has begun";
            wipeText(login.password);
            found(restored);
            return;
        }
        if (what == CredentialStore::Found::login) restored.email = login.email;
        if (what != CredentialStore::Found::noKeyring)
            qCInfo(lcLogin) << (restored.email ? "logging in with the remembered login"
                                               : "no remembered login");
        found(restored);
        if (restored.email) begin(std::move(login), true, true, std::move(done));
    });
}

void LoginFlow::begin(StoredLogin login, bool remember, bool restored, Done done) {
    // A new login ends the connection (and any retrying) of the one before.
    m_connection.stop();
    wipeText(m_pending.password);
    m_pending = std::move(login);
    m_remember = remember;
    m_client.login(m_pending.email, m_pending.password,
                   [this, restored, done = std::move(done)](const LoginClient::Result& r) {
                       if (r.outcome == LoginClient::Outcome::accepted) {
                           m_connection.start(r.prefix, r.broker);
                       } else {
                           qCWarning(lcLogin).noquote() << "login failed:" << r.reason.c_str();
                       }
                       ended(r.outcome, restored);
                       done(r.outcome);
                   });
}

void LoginFlow::ended(LoginClient::Outcome outcome, bool restored) {
    if (m_store) {
        if (outcome == LoginClient::Outcome::accepted && m_remember && !restored)
            m_store->save(m_pending, [](bool) {});
        else if ((outcome == LoginClient::Outcome::accepted && !m_remember) ||
                 (outcome == LoginClient::Outcome::rejected && restored))
            m_store->forget([](bool) {});  // not wanted, or no longer valid
    }
    wipeText(m_pending.password);
    m_pending = {};
}

void LoginFlow::logOut() {
    abandon();
    qCInfo(lcLogin) << "logged out";
    m_connection.end();
    if (m_store) m_store->forget([](bool) {});
}

void LoginFlow::abandon() {
    m_client.abandon();
    wipeText(m_pending.password);
    m_pending = {};
}

}  // namespace tgw::app
