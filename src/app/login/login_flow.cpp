#include "app/login/login_flow.h"

#include "common/diagnostics.h"

namespace tgw::app {

void LoginFlow::logIn(const QString& email, const QString& password, Done done) {
    // A new login ends the connection (and any retrying) of the one before.
    m_connection.stop();
    m_client.login(email, password, [this, done = std::move(done)](const LoginClient::Result& r) {
        if (r.outcome == LoginClient::Outcome::accepted) {
            m_connection.start(r.prefix, r.broker);
        } else {
            qCWarning(lcLogin).noquote() << "login failed:" << r.reason.c_str();
        }
        done(r.outcome);
    });
}

}  // namespace tgw::app
