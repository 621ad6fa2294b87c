#include "ui/view_controller.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFormLayout>
#include <QMessageBox>
#include <QVBoxLayout>

namespace tgw::ui {

using app::ConnectionState;
using app::LoginClient;

namespace {

const QString kConnecting = QStringLiteral("Aan het verbinden...");
const QString kConnected = QStringLiteral("Verbonden!");
const QString kRejected = QStringLiteral("Ingevoerde gegevens zijn onjuist.");
const QString kConnectionLost = QStringLiteral("Verbinding verbroken");
const QString kRetrying = QStringLiteral("Verbinding verbroken, opnieuw verbinden...");
const QString kRefused = QStringLiteral("De berichtenserver weigert de verbinding.");
const QString kUntrusted =
    QStringLiteral("Het certificaat van de berichtenserver wordt niet vertrouwd.");
const QString kNoServer = QStringLiteral("Geen verbinding met de server.");
const QString kBadReply = QStringLiteral("Ongeldig antwoord van de server.");

}  // namespace

ViewController::ViewController(app::AppDelegate& appDelegate, QWidget* parent)
    : QWidget(parent),
      m_appDelegate(appDelegate),
      m_emailField(new QLineEdit(this)),
      m_passwordField(new QLineEdit(this)),
      m_connectButton(new QPushButton(tr("Verbinden"), this)),
      m_statusLabel(new QLabel(this)),
      m_presenceLabel(new QLabel(this)) {
    setWindowTitle(QStringLiteral("TGW Mobile Tool"));
    m_emailField->setPlaceholderText(QStringLiteral("naam@voorbeeld.nl"));
    m_emailField->setInputMethodHints(Qt::ImhEmailCharactersOnly);
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_presenceLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_connectButton->setDefault(true);

    auto* form = new QFormLayout;
    form->addRow(tr("E-mailadres"), m_emailField);
    form->addRow(tr("Wachtwoord"), m_passwordField);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_connectButton);
    layout->addWidget(m_statusLabel);
    layout->addWidget(m_presenceLabel);
    setMinimumWidth(360);

    setTabOrder(m_emailField, m_passwordField);
    setTabOrder(m_passwordField, m_connectButton);
    m_emailField->setFocus();

    QObject::connect(m_connectButton, &QPushButton::clicked, this,
                     &ViewController::connectButtonClicked);
    for (QLineEdit* field : {m_emailField, m_passwordField}) {
        QObject::connect(field, &QLineEdit::returnPressed, this, [this] {
            if (m_connectButton->isEnabled()) connectButtonClicked();
        });
    }
    m_appDelegate.setLoginWindow(this);
}

ViewController::~ViewController() {
    m_appDelegate.setLoginWindow(nullptr);
}

void ViewController::connectButtonClicked() {
    m_emailField->setEnabled(false);
    m_connectButton->setEnabled(false);
    m_statusLabel->setText(kConnecting);
    sendLogin();
}

void ViewController::sendLogin() {
    m_passwordField->setEnabled(false);
    m_appDelegate.loginFlow().logIn(m_emailField->text(), m_passwordField->text(),
                                    [this](LoginClient::Outcome outcome) {
                                        loginEnded(outcome);
                                        emit loginFinished();
                                    });
}

void ViewController::loginEnded(LoginClient::Outcome outcome) {
    // setText, unlike clear(), also drops the field's undo history, which
    // would hold the typed characters.
    m_passwordField->setText(QString());
    switch (outcome) {
        case LoginClient::Outcome::accepted:
            // "Aan het verbinden..." stays until the controller reports the
            // subscription (the flow has started the connection already).
            return;
        case LoginClient::Outcome::rejected: offerLogin(kRejected); return;
        case LoginClient::Outcome::unreachable: offerLogin(kNoServer); return;
        case LoginClient::Outcome::badReply: offerLogin(kBadReply); return;
    }
}

void ViewController::connectionStateChanged(ConnectionState state) {
    if (m_appDelegate.loginFlow().isRunning()) return;
    switch (state) {
        case ConnectionState::connecting:
            // While retrying the form stays usable (to log in as someone else),
            // and the status says so through every attempt.
            if (!m_connectButton->isEnabled()) showBusy(kConnecting);
            return;
        case ConnectionState::connected: showBusy(kConnected); return;
        case ConnectionState::retrying: offerLogin(kRetrying); return;
        case ConnectionState::refused: offerLogin(kRefused); return;
        case ConnectionState::untrusted: offerLogin(kUntrusted); return;
        case ConnectionState::disconnected: offerLogin(kConnectionLost); return;
    }
}

void ViewController::showDisconnected() {
    connectionStateChanged(ConnectionState::disconnected);
}

void ViewController::showDevicePresence(const QStringList& lines) {
    m_presenceLabel->setText(lines.join(QLatin1Char('\n')));
}

void ViewController::showBusy(const QString& status) {
    m_statusLabel->setText(status);
    setFormEnabled(false);
}

void ViewController::offerLogin(const QString& status) {
    m_statusLabel->setText(status);
    // Disabling the form took the keyboard focus away from it.
    const bool focusWasLost = !m_connectButton->isEnabled();
    setFormEnabled(true);
    if (focusWasLost) m_emailField->setFocus();
}

void ViewController::setFormEnabled(bool enabled) {
    m_emailField->setEnabled(enabled);
    m_passwordField->setEnabled(enabled);
    m_connectButton->setEnabled(enabled);
}

void ViewController::closeEvent(QCloseEvent* event) {
    event->accept();
    if (m_closing) return;  // quitting closes the window once more
    m_closing = true;
    m_appDelegate.loginFlow().abandon();
    m_passwordField->setText(QString());
    m_appDelegate.shutdown([] { QCoreApplication::quit(); });
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
