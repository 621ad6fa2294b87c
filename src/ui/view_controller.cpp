#include "ui/view_controller.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLayout>
#include <QMessageBox>
#include <QTime>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/phone_lines.h"
#include "ui/tray.h"

namespace tgw::ui {

using app::ConnectionState;
using app::LoginClient;

namespace {

const QString kNoKeyring = QStringLiteral(
    "Geen sleutelbos (Secret Service) beschikbaar: de aanmelding kan niet worden onthouden.");
const QString kStaysInTray = QStringLiteral(
    "TGW Mobile Tool blijft actief in het systeemvak. Afsluiten kan via het menu van het "
    "pictogram.");
const QString kLostLong = QStringLiteral(
    "Al meer dan een minuut geen verbinding met de berichtenserver; opnieuw verbinden...");
const QString kBack = QStringLiteral("Weer verbonden met de berichtenserver.");

// Focus shows on every control, whatever the desktop's style draws.
const QString kStyle = QStringLiteral(
    "QPushButton:focus, QCheckBox:focus { outline: none; border: 2px solid palette(highlight);"
    " border-radius: 4px; padding: 3px 10px; }"
    "QLineEdit[wrong=\"true\"] { border: 2px solid #c62828; border-radius: 3px; }");

QString colourOf(const ShownState& s) {
    if (s.error) return QStringLiteral("#b71c1c");
    if (s.look == TrayLook::connected) return QStringLiteral("#1b5e20");
    return QString();
}

QLabel* wrappingLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

ViewController::ViewController(app::AppDelegate& appDelegate, QWidget* parent)
    : QWidget(parent),
      m_appDelegate(appDelegate),
      m_formPanel(new QWidget(this)),
      m_emailField(new QLineEdit(m_formPanel)),
      m_passwordField(new QLineEdit(m_formPanel)),
      m_rememberBox(new QCheckBox(QStringLiteral("Onthouden"), m_formPanel)),
      m_connectButton(new QPushButton(tr("Verbinden"), m_formPanel)),
      m_accountPanel(new QWidget(this)),
      m_accountLabel(wrappingLabel(m_accountPanel)),
      m_sinceLabel(wrappingLabel(this)),
      m_adviceLabel(wrappingLabel(m_accountPanel)),
      m_reconnectButton(new QPushButton(text::reconnectNow, m_accountPanel)),
      m_logoutButton(new QPushButton(QStringLiteral("Afmelden"), m_accountPanel)),
      m_stateMark(new QLabel(this)),
      m_statusLabel(wrappingLabel(this)),
      m_presenceLabel(wrappingLabel(this)) {
    setWindowTitle(QStringLiteral("TGW Mobile Tool"));
    setWindowIcon(programIcon());
    setStyleSheet(kStyle);
    m_emailField->setPlaceholderText(QStringLiteral("naam@voorbeeld.nl"));
    m_emailField->setInputMethodHints(Qt::ImhEmailCharactersOnly);
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_connectButton->setDefault(true);
    // Until the keyring has answered (restoreLogin), nothing can be remembered.
    m_rememberBox->setEnabled(false);
    m_rememberBox->setToolTip(kNoKeyring);

    auto* form = new QFormLayout(m_formPanel);
    form->setContentsMargins(0, 0, 0, 0);
    form->addRow(tr("E-mailadres"), m_emailField);
    form->addRow(tr("Wachtwoord"), m_passwordField);
    form->addRow(QString(), m_rememberBox);
    form->addRow(m_connectButton);

    auto* account = new QVBoxLayout(m_accountPanel);
    account->setContentsMargins(0, 0, 0, 0);
    account->addWidget(m_accountLabel);
    account->addWidget(m_adviceLabel);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_reconnectButton);
    buttons->addWidget(m_logoutButton);
    buttons->addStretch();
    account->addLayout(buttons);

    // The one state line: its mark, the state, and since when under it.
    auto* stateText = new QVBoxLayout;
    stateText->setSpacing(0);
    stateText->addWidget(m_statusLabel);
    stateText->addWidget(m_sinceLabel);
    auto* stateLine = new QHBoxLayout;
    stateLine->addWidget(m_stateMark, 0, Qt::AlignTop);
    stateLine->addLayout(stateText, 1);
    QFont bold = m_statusLabel->font();
    bold.setBold(true);
    m_statusLabel->setFont(bold);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(stateLine);
    layout->addWidget(m_formPanel);
    layout->addWidget(m_accountPanel);
    layout->addWidget(m_presenceLabel);
    layout->addStretch();
    setMinimumWidth(400);
    m_accountPanel->hide();
    m_sinceLabel->hide();
    m_adviceLabel->hide();
    m_stateMark->hide();
    m_statusLabel->hide();
    m_presenceLabel->hide();  // until the first listing

    setTabOrder(m_emailField, m_passwordField);
    setTabOrder(m_passwordField, m_rememberBox);
    setTabOrder(m_rememberBox, m_connectButton);
    m_emailField->setFocus();

    m_lostTimer.setSingleShot(true);
    m_lostTimer.setInterval(kLostNotice);
    QObject::connect(&m_lostTimer, &QTimer::timeout, this, [this] {
        m_lostNoticeShown = true;
        emit notificationRequested(kLostLong);
    });
    QObject::connect(m_connectButton, &QPushButton::clicked, this,
                     &ViewController::connectButtonClicked);
    QObject::connect(m_logoutButton, &QPushButton::clicked, this, &ViewController::logOut);
    QObject::connect(m_reconnectButton, &QPushButton::clicked, this,
                     &ViewController::reconnectNow);
    m_appDelegate.setLoginWindow(this);
}

ViewController::~ViewController() {
    m_appDelegate.setLoginWindow(nullptr);
}

void ViewController::connectButtonClicked() {
    startLogin(m_emailField->text());
    sendLogin();
}

void ViewController::startLogin(const QString& email) {
    m_account = email;
    resetLinkNotices();
    present({.loggedIn = true, .status = text::connecting, .look = TrayLook::busy});
}

void ViewController::sendLogin() {
    const bool remember = m_rememberBox->isEnabled() && m_rememberBox->isChecked();
    m_appDelegate.loginFlow().logIn(m_emailField->text(), m_passwordField->text(), remember,
                                    [this](LoginClient::Outcome outcome) { loginEnded(outcome); });
    // setText, unlike clear(), also drops the field's undo history, which
    // would hold the typed characters.
    m_passwordField->setText(QString());
}

void ViewController::restoreLogin(std::function<void(bool started)> started) {
    m_appDelegate.loginFlow().restore(
        [this, started = std::move(started)](const app::LoginFlow::Restored& found) {
            m_rememberBox->setEnabled(found.keyring);
            m_rememberBox->setToolTip(found.keyring ? QString() : kNoKeyring);
            if (found.email) {
                m_emailField->setText(*found.email);
                m_rememberBox->setChecked(true);
            }
            if (found.started)
                startLogin(*found.email);
            else if (found.email)
                m_passwordField->setFocus();
            started(found.started);
        },
        [this](LoginClient::Outcome outcome) { loginEnded(outcome); });
}

void ViewController::loginEnded(LoginClient::Outcome outcome) {
    m_passwordField->setText(QString());
    const bool waiting = m_appDelegate.loginFlow().retryAt().has_value();
    present(waiting ? keptLoginWaiting(outcome) : shownFor(outcome));
    // After a wrong password the address stays and the password is asked again.
    if (outcome == LoginClient::Outcome::rejected && !m_emailField->text().isEmpty())
        m_passwordField->setFocus();
    emit loginFinished();
}

void ViewController::logOut() {
    m_appDelegate.loginFlow().logOut();
    m_account.clear();
    m_emailField->setText(QString());
    m_passwordField->setText(QString());
    m_rememberBox->setChecked(false);
    resetLinkNotices();
    present(loggedOut());
}

void ViewController::reconnectNow() {
    if (m_appDelegate.loginFlow().retryAt()) {
        present({.loggedIn = true, .status = text::connecting, .look = TrayLook::busy});
        return m_appDelegate.loginFlow().retryNow();
    }
    if (m_shown.loggedIn) m_appDelegate.link().reconnectNow();
}

void ViewController::nextAttemptChanged() {
    if (m_appDelegate.loginFlow().isRunning() || !m_shown.loggedIn) return;
    showTimes();
    fitContents();
    emit stateShown();
}

void ViewController::showTimes() {
    const app::LoginFlow& flow = m_appDelegate.loginFlow();
    const app::BrokerLink& link = m_appDelegate.link();
    std::optional<QDateTime> next = flow.retryAt();
    QString since;
    if (next) {
        m_accountLabel->setText("Aanmelden als " + m_account);
    } else if (m_shown.loggedIn && !flow.isRunning() &&
               (m_shown.look != TrayLook::busy || m_shown.canRetryNow)) {
        since = "sinds " + link.stateSince().toLocalTime().toString("HH:mm");
        next = link.nextAttempt();
    }
    QStringList parts;
    if (!since.isEmpty()) parts << since;
    if (next) parts << "volgende poging om " + next->toString("HH:mm:ss");
    m_sinceLabel->setText(parts.join(QStringLiteral(", ")));
    m_sinceLabel->setVisible(!parts.isEmpty());
    m_reconnectButton->setVisible(m_shown.canRetryNow);
}

TrayLook ViewController::look() const {
    if (m_shown.look == TrayLook::connected && !m_phoneReady) return TrayLook::noPhone;
    return m_shown.look;
}

void ViewController::resetLinkNotices() {
    m_history = {};
    m_lostTimer.stop();
    m_lostNoticeShown = false;
}

void ViewController::connectionStateChanged(ConnectionState state) {
    if (m_appDelegate.loginFlow().isRunning() || !m_shown.loggedIn) return;
    const ShownState next = shownFor(state, m_history);
    std::optional<QString> notice;
    switch (state) {
        case ConnectionState::connected:
            m_lostTimer.stop();
            if (std::exchange(m_lostNoticeShown, false)) notice = kBack;
            break;
        case ConnectionState::retrying:
            if (!m_lostTimer.isActive() && !m_lostNoticeShown) m_lostTimer.start();
            break;
        case ConnectionState::connecting: break;
        case ConnectionState::refused:
        case ConnectionState::untrusted:
        case ConnectionState::disconnected:
            m_lostTimer.stop();
            m_lostNoticeShown = false;
            notice = next.status;
            break;
    }
    present(next);
    // Told once the window and the tray show the new state.
    if (notice) emit notificationRequested(*notice);
}

void ViewController::showDisconnected() {
    connectionStateChanged(ConnectionState::disconnected);
}

void ViewController::showDevicePresence(const app::DevicePresence& presence) {
    m_presence = presenceLines(presence);
    m_phoneReady = std::any_of(presence.devices.begin(), presence.devices.end(),
                               [](const app::DeviceInfo& d) {
                                   return app::problemOf(d) == app::PhoneProblem::none;
                               });
    m_presenceLabel->setText(m_presence.join(QLatin1Char('\n')));
    m_presenceLabel->setVisible(!m_presence.isEmpty());
    m_stateMark->setPixmap(ui::stateMark(look(), 20));
    fitContents();
    emit stateShown();
}

void ViewController::present(const ShownState& state) {
    const bool formReturns = m_shown.loggedIn && !state.loggedIn;
    m_shown = state;
    m_statusLabel->setText(state.status);
    const QString colour = colourOf(state);
    m_statusLabel->setStyleSheet(colour.isEmpty() ? QString() : "color: " + colour);
    m_statusLabel->setVisible(!state.status.isEmpty());
    m_stateMark->setPixmap(ui::stateMark(look(), 20));
    m_stateMark->setVisible(!state.status.isEmpty());
    m_accountLabel->setText("Aangemeld als " + m_account);
    m_adviceLabel->setText(state.advice);
    m_adviceLabel->setVisible(!state.advice.isEmpty());
    m_reconnectButton->setVisible(state.canRetryNow);
    m_passwordField->setProperty("wrong", state.credentialsWrong);
    m_passwordField->style()->unpolish(m_passwordField);
    m_passwordField->style()->polish(m_passwordField);
    m_formPanel->setVisible(!state.loggedIn);
    m_accountPanel->setVisible(state.loggedIn);
    // The panel that had the keyboard focus is gone: the form gets it back.
    if (formReturns) m_emailField->setFocus();
    showTimes();
    fitContents();
    emit stateShown();
    if (state.needsTechnician) emit technicianNeeded();
}

void ViewController::fitContents() {
    layout()->activate();
    const int needed = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width())
                                                     : layout()->totalSizeHint().height();
    if (height() != needed) resize(width(), needed);
}

void ViewController::quit(const std::string& cause, std::function<void()> done) {
    if (m_quitting) return;
    m_quitting = true;
    m_appDelegate.loginFlow().abandon();
    m_passwordField->setText(QString());
    if (!done) done = [] { QCoreApplication::quit(); };
    m_appDelegate.shutdown(cause, std::move(done));
}

void ViewController::closeEvent(QCloseEvent* event) {
    if (m_quitting) return event->accept();  // quitting closes the window once more
    if (m_closingHides) {
        event->accept();  // hidden; the agent stays in the tray
        if (!std::exchange(m_hideNoticeShown, true)) emit notificationRequested(kStaysInTray);
        return;
    }
    if (m_shown.loggedIn &&
        !askQuit(QStringLiteral("De webdienst kan deze telefoon dan niet meer bereiken.")))
        return event->ignore();
    event->accept();
    quit("the window was closed");
}

void ViewController::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    // Only the form starts a login: nothing here ends a connection.
    if (enter && !m_shown.loggedIn && m_formPanel->isVisible() && m_connectButton->isEnabled()) {
        event->accept();
        return connectButtonClicked();
    }
    QWidget::keyPressEvent(event);
}

bool ViewController::confirmQuit() {
    const size_t queries =
        m_appDelegate.queries().runningCount() + m_appDelegate.queries().waitingCount();
    if (queries == 0) return true;
    return askQuit(QString("Er %1 nog %2 opvraging%3 van de webdienst; die %4 dan afgebroken.")
                       .arg(queries == 1 ? "loopt" : "lopen")
                       .arg(queries)
                       .arg(queries == 1 ? "" : "en")
                       .arg(queries == 1 ? "wordt" : "worden"));
}

bool ViewController::askQuit(const QString& why) {
    QMessageBox box(QMessageBox::Question, windowTitle(), QStringLiteral("Afsluiten?"),
                    QMessageBox::NoButton, this);
    box.setInformativeText(why);
    QPushButton* quit = box.addButton(QStringLiteral("Afsluiten"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Annuleren"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == quit;
}

bool ViewController::dialog(const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Melding"), QStringLiteral("Melding"),
                    QMessageBox::NoButton, this);
    box.setInformativeText(text);
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
    return box.clickedButton() == ok;
}

bool ViewController::dialogOKCancel(const QString& question, const QString& text) {
    QMessageBox box(QMessageBox::Warning, question, QString(), QMessageBox::NoButton, this);
    box.setText(question);
    box.setInformativeText(text);
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == ok;
}

}  // namespace tgw::ui
