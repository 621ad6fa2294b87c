// What the window, the tray and the notifications show for each state of the
// login and the broker connection: one table, no widgets.
#pragma once

#include <QString>

#include "app/broker/connection_state.h"
#include "app/login/login_client.h"

namespace tgw::ui {

// The tray icon's looks, also the window's state mark. The badge's colour
// says whether the web service can reach a phone.
enum class TrayLook {
    connected,  // green with a check: commands arrive and a phone is ready
    noPhone,    // grey: commands arrive, but no phone is ready to answer them
    busy,       // orange: logging in, connecting or retrying
    attention,  // red with "!": needs someone: logged out, refused, untrusted
};

struct ShownState {
    bool loggedIn = false;  // account panel; else the login form
    QString status = {};
    TrayLook look = TrayLook::attention;
    // Refused, untrusted, a login that failed: the window comes forward.
    bool needsTechnician = false;
    // The status is an error (shown as one).
    bool error = false;
    // Who must act, when it is not the technician at this PC.
    QString advice = {};
    // "Nu opnieuw verbinden" is offered: an attempt waits for its time.
    bool canRetryNow = false;
    // The web service turned the e-mail address and password down.
    bool credentialsWrong = false;
};

// What has happened since the login, as far as it changes the texts.
struct LinkHistory {
    bool connectedOnce = false;  // a connection existed since the login
    bool retrying = false;       // lost (or never made) and not connected since
};

namespace text {
inline const QString connecting = QStringLiteral("Aan het verbinden...");
inline const QString connected = QStringLiteral("Verbonden!");
inline const QString rejected = QStringLiteral("Ingevoerde gegevens zijn onjuist.");
inline const QString connectionLost = QStringLiteral("Verbinding verbroken");
inline const QString retrying = QStringLiteral("Verbinding verbroken, opnieuw verbinden...");
inline const QString neverReached =
    QStringLiteral("Geen verbinding met de berichtenserver, opnieuw proberen...");
inline const QString refused = QStringLiteral("De berichtenserver weigert de verbinding.");
inline const QString untrusted =
    QStringLiteral("Het certificaat van de berichtenserver wordt niet vertrouwd.");
inline const QString webUntrusted =
    QStringLiteral("Het certificaat van de server wordt niet vertrouwd.");
inline const QString noServer = QStringLiteral("Geen verbinding met de server.");
inline const QString badReply = QStringLiteral("Ongeldig antwoord van de server.");
inline const QString serverSide =
    QStringLiteral("De fout ligt bij de server: neem contact op met de beheerder.");
inline const QString keptLoginRetried =
    QStringLiteral("De aanmelding wordt vanzelf opnieuw geprobeerd.");
inline const QString loggedOut = QStringLiteral("Niet aangemeld");
inline const QString reconnectNow = QStringLiteral("Nu opnieuw verbinden");
}  // namespace text

// The broker connection in `state`, with `history` updated for it first.
ShownState shownFor(app::ConnectionState state, LinkHistory& history);
// The end of a login request.
ShownState shownFor(app::LoginClient::Outcome outcome);
// A remembered login that failed with `outcome` and waits for its next try.
ShownState keptLoginWaiting(app::LoginClient::Outcome outcome);
// Logged out, or not yet logged in: the empty form.
ShownState loggedOut();

}  // namespace tgw::ui
