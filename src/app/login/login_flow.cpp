#include "app/login/login_flow.h"

#include <QRandomGenerator>

#include "common/diagnostics.h"

namespace tgw::app {

LoginFlow::LoginFlow(LoginClient& client, Connection& connection)
    : m_client(client), m_connection(connection) {
    m_retryTimer.setSingleShot(true);
    QObject::connect(&m_retryTimer, &QTimer::timeout, &m_client, [this] { retryNow(); });
}

LoginFlow::~LoginFlow() {
    abandon();
}

void LoginFlow::logIn(const QString& email, const QString& password, bool remember, Done done) {
    m_begun = true;
    m_attempt = 0;
    m_waited = {};
    begin({email, password}, remember, false, std::move(done));
}

void LoginFlow::restore(std::function<void(const Restored&)> found, Done done) {
    if (!m_store) return found({});
    m_store->load([this, found = std::move(found), done = std::move(done)](
                      CredentialStore::Found what, StoredLogin login) mutable {
        m_keyring = what != CredentialStore::Found::noKeyring;
        Restored restored{m_keyring, std::nullopt, false};
        if (!login.email.isEmpty()) restored.email = login.email;
        if (what == CredentialStore::Found::login && m_begun) {
            // The keyring answered late: the login the technician started wins.
            qCInfo(lcLogin) << "the remembered login is not used: another login has begun";
            wipeText(login.password);
            found({m_keyring, std::nullopt, false});
            return;
        }
        restored.started = what == CredentialStore::Found::login;
        if (m_keyring)
            qCInfo(lcLogin) << (restored.started ? "logging in with the remembered login"
                                                 : "no remembered login");
        found(restored);
        if (restored.started) {
            m_attempt = 0;
            m_waited = {};
            begin(std::move(login), true, true, std::move(done));
        }
    });
}

void LoginFlow::begin(StoredLogin login, bool remember, bool restored, Done done) {
    // A new login ends the connection (and any retrying) of the one before.
    stopRetrying();
    m_connection.stop();
    m_loggedIn = m_loggedOut = false;
    m_email = login.email;
    wipeText(m_pending.password);
    m_pending = std::move(login);
    m_remember = remember;
    m_client.login(m_pending.email, m_pending.password,
                   [this, restored, done = std::move(done)](const LoginClient::Result& r) {
                       if (r.outcome == LoginClient::Outcome::accepted) {
                           m_loggedIn = true;
                           m_connection.start(r.prefix, r.broker);
                       } else {
                           m_lastError = "login at " + m_client.webUrl().toStdString() +
                                         " failed: " + r.reason;
                           m_lastErrorAt = QDateTime::currentDateTimeUtc();
                           qCWarning(lcLogin).noquote()
                               << "login failed:" << r.reason.c_str() << "(web service"
                               << m_client.webUrl() + ")";
                       }
                       if (!retryLater(r, restored, done)) ended(r.outcome, restored);
                       done(r.outcome);
                   });
}

bool LoginFlow::retryLater(const LoginClient::Result& result, bool restored, const Done& done) {
    if (!restored || !result.passing()) return false;
    const auto delay = reconnectDelay(m_delays, m_attempt++, m_waited,
                                      QRandomGenerator::global()->generateDouble() * 2 - 1);
    m_waited += delay;
    m_retryDone = done;
    m_retryAt = QDateTime::currentDateTime().addMSecs(delay.count());
    m_retryTimer.start(delay);
    qCInfo(lcLogin) << "the remembered login is tried again in" << delay.count() << "ms";
    return true;  // m_pending stays for the next try
}

void LoginFlow::retryNow() {
    if (!m_retryAt) return;
    Done done = std::exchange(m_retryDone, nullptr);
    StoredLogin login = std::exchange(m_pending, {});
    begin(std::move(login), true, true, std::move(done));
}

void LoginFlow::stopRetrying() {
    m_retryTimer.stop();
    m_retryAt.reset();
    m_retryDone = nullptr;
}

void LoginFlow::ended(LoginClient::Outcome outcome, bool restored) {
    if (m_store && m_keyring) {
        if (outcome == LoginClient::Outcome::accepted && m_remember && !restored)
            m_store->save(m_pending, [](bool) {});
        else if ((outcome == LoginClient::Outcome::accepted && !m_remember) ||
                 (outcome == LoginClient::Outcome::rejected && restored))
            m_store->forget([](bool) {});  // not wanted, or no longer valid
    }
    if (outcome != LoginClient::Outcome::accepted) m_email.clear();
    wipeText(m_pending.password);
    m_pending = {};
}

void LoginFlow::logOut() {
    abandon();
    qCInfo(lcLogin).noquote() << "logged out (Afmelden)"
                              << (m_email.isEmpty() ? QString() : "as " + m_email);
    m_connection.end();
    m_email.clear();
    m_loggedIn = false;
    m_loggedOut = true;
    if (m_store && m_keyring) m_store->forget([](bool) {});
}

void LoginFlow::abandon() {
    stopRetrying();
    m_client.abandon();
    wipeText(m_pending.password);
    m_pending = {};
}

}  // namespace tgw::app
