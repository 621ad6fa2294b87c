#include "ui/view_controller.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFormLayout>
#include <QLayout>
#include <QMessageBox>
#include <QTime>
#include <QVBoxLayout>

#include "ui/phone_lines.h"

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
      m_sinceLabel(wrappingLabel(m_accountPanel)),
      m_logoutButton(new QPushButton(QStringLiteral("Afmelden"), m_accountPanel)),
      m_statusLabel(wrappingLabel(this)),
      m_presenceLabel(wrappingLabel(this)) {
    setWindowTitle(QStringLiteral("TGW Mobile Tool"));
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
    account->addWidget(m_sinceLabel);
    account->addWidget(m_logoutButton, 0, Qt::AlignLeft);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_formPanel);
    layout->addWidget(m_accountPanel);
    layout->addWidget(m_statusLabel);
    layout->addWidget(m_presenceLabel);
    layout->addStretch();
    setMinimumWidth(400);
    m_accountPanel->hide();
    m_sinceLabel->hide();

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
    for (QLineEdit* field : {m_emailField, m_passwordField}) {
        QObject::connect(field, &QLineEdit::returnPressed, this, [this] {
            // Only the form starts a login: nothing here ends a connection.
            if (!m_shown.loggedIn && m_connectButton->isEnabled()) connectButtonClicked();
        });
    }
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
    present({true, text::connecting, TrayLook::busy, false});
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
                startLogin(*found.email);
            }
            started(found.email.has_value());
        },
        [this](LoginClient::Outcome outcome) { loginEnded(outcome); });
}

void ViewController::loginEnded(LoginClient::Outcome outcome) {
    m_passwordField->setText(QString());
    present(shownFor(outcome));
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

void ViewController::resetLinkNotices() {
    m_history = {};
    m_lostTimer.stop();
    m_lostNoticeShown = false;
}

void ViewController::connectionStateChanged(ConnectionState state) {
    if (m_appDelegate.loginFlow().isRunning() || !m_shown.loggedIn) return;
    const ShownState next = shownFor(state, m_history);
    switch (state) {
        case ConnectionState::connected:
            m_sinceLabel->setText("Verbonden sinds " + QTime::currentTime().toString("HH:mm"));
            m_lostTimer.stop();
            if (std::exchange(m_lostNoticeShown, false)) emit notificationRequested(kBack);
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
            emit notificationRequested(next.status);
            break;
    }
    m_sinceLabel->setVisible(state == ConnectionState::connected);
    present(next);
}

void ViewController::showDisconnected() {
    connectionStateChanged(ConnectionState::disconnected);
}

void ViewController::showDevicePresence(const app::DevicePresence& presence) {
    m_presence = presenceLines(presence);
    m_presenceLabel->setText(m_presence.join(QLatin1Char('\n')));
    fitContents();
    emit stateShown();
}

void ViewController::present(const ShownState& state) {
    const bool formReturns = m_shown.loggedIn && !state.loggedIn;
    m_shown = state;
    m_statusLabel->setText(state.status);
    m_accountLabel->setText("Aangemeld als " + m_account);
    if (!state.loggedIn) m_sinceLabel->hide();
    m_formPanel->setVisible(!state.loggedIn);
    m_accountPanel->setVisible(state.loggedIn);
    // The panel that had the keyboard focus is gone: the form gets it back.
    if (formReturns) m_emailField->setFocus();
    fitContents();
    emit stateShown();
    if (state.needsTechnician) emit technicianNeeded();
}

void ViewController::fitContents() {
    layout()->activate();
    const int needed = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width())
                                                     : layout()->totalSizeHint().height();
    if (height() < needed) resize(width(), needed);
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
    if (m_shown.loggedIn && !askQuit()) return event->ignore();
    event->accept();
    quit("the window was closed");
}

bool ViewController::askQuit() {
    QMessageBox box(QMessageBox::Question, windowTitle(), QStringLiteral("Afsluiten?"),
                    QMessageBox::NoButton, this);
    box.setInformativeText(
        QStringLiteral("De webdienst kan deze telefoon dan niet meer bereiken."));
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
