#include "ui/window_state.h"

namespace tgw::ui {

using app::ConnectionState;
using app::LoginClient;

namespace {

ShownState ending(const QString& status, bool needsTechnician) {
    return {false, status, TrayLook::attention, needsTechnician};
}

}  // namespace

ShownState shownFor(ConnectionState state, LinkHistory& history) {
    // The text of a lost connection depends on whether there was one.
    const QString& lost = history.connectedOnce ? text::retrying : text::neverReached;
    switch (state) {
        case ConnectionState::connecting:
            // Each new attempt while retrying keeps saying so.
            return {true, history.retrying ? lost : text::connecting, TrayLook::busy, false};
        case ConnectionState::connected:
            history = {true, false};
            return {true, text::connected, TrayLook::connected, false};
        case ConnectionState::retrying:
            history.retrying = true;
            return {true, lost, TrayLook::busy, false};
        case ConnectionState::refused: history = {}; return ending(text::refused, true);
        case ConnectionState::untrusted: history = {}; return ending(text::untrusted, true);
        case ConnectionState::disconnected: history = {}; return ending(text::connectionLost, true);
    }
    return loggedOut();
}

ShownState shownFor(LoginClient::Outcome outcome) {
    switch (outcome) {
        case LoginClient::Outcome::accepted:
            // "Aan het verbinden..." until the connection reports its subscription.
            return {true, text::connecting, TrayLook::busy, false};
        case LoginClient::Outcome::rejected: return ending(text::rejected, true);
        case LoginClient::Outcome::unreachable: return ending(text::noServer, true);
        case LoginClient::Outcome::untrusted: return ending(text::webUntrusted, true);
        case LoginClient::Outcome::badReply: return ending(text::badReply, true);
    }
    return loggedOut();
}

ShownState loggedOut() {
    return ending(QString(), false);
}

}  // namespace tgw::ui
