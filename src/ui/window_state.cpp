#include "ui/window_state.h"

namespace tgw::ui {

using app::ConnectionState;
using app::LoginClient;

namespace {

ShownState ending(const QString& status, bool needsTechnician) {
    return {.loggedIn = false,
            .status = status,
            .look = TrayLook::attention,
            .needsTechnician = needsTechnician,
            .error = needsTechnician};
}

// The account stays: the fault is on the server's side, retried now and then.
ShownState serverSideFault(const QString& status) {
    return {.loggedIn = true,
            .status = status,
            .look = TrayLook::attention,
            .needsTechnician = true,
            .error = true,
            .advice = text::serverSide,
            .canRetryNow = true};
}

}  // namespace

ShownState shownFor(ConnectionState state, LinkHistory& history) {
    // The text of a lost connection depends on whether there was one.
    const QString& lost = history.connectedOnce ? text::retrying : text::neverReached;
    switch (state) {
        case ConnectionState::connecting:
            // Each new attempt while retrying keeps saying so.
            return {.loggedIn = true,
                    .status = history.retrying ? lost : text::connecting,
                    .look = TrayLook::busy};
        case ConnectionState::connected:
            history = {true, false};
            return {.loggedIn = true, .status = text::connected, .look = TrayLook::connected};
        case ConnectionState::retrying:
            history.retrying = true;
            return {.loggedIn = true, .status = lost, .look = TrayLook::busy, .canRetryNow = true};
        case ConnectionState::refused: history = {}; return serverSideFault(text::refused);
        case ConnectionState::untrusted: history = {}; return serverSideFault(text::untrusted);
        case ConnectionState::disconnected: history = {}; return ending(text::connectionLost, true);
    }
    return loggedOut();
}

ShownState shownFor(LoginClient::Outcome outcome) {
    switch (outcome) {
        case LoginClient::Outcome::accepted:
            // "Aan het verbinden..." until the connection reports its subscription.
            return {.loggedIn = true, .status = text::connecting, .look = TrayLook::busy};
        case LoginClient::Outcome::rejected: {
            ShownState s = ending(text::rejected, true);
            s.credentialsWrong = true;
            return s;
        }
        case LoginClient::Outcome::unreachable: return ending(text::noServer, true);
        case LoginClient::Outcome::untrusted: return ending(text::webUntrusted, true);
        case LoginClient::Outcome::badReply: return ending(text::badReply, true);
    }
    return loggedOut();
}

ShownState keptLoginWaiting(LoginClient::Outcome outcome) {
    const QString& status =
        outcome == LoginClient::Outcome::badReply ? text::badReply : text::noServer;
    return {.loggedIn = true,
            .status = status,
            .look = TrayLook::busy,
            .error = true,
            .advice = text::keptLoginRetried,
            .canRetryNow = true};
}

ShownState loggedOut() {
    return ending(QString(), false);
}

}  // namespace tgw::ui
