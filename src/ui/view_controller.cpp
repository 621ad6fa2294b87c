#include "ui/view_controller.h"

#include <QFormLayout>
#include <QMessageBox>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QUrl>
#include <QVBoxLayout>

#include "app/settings.h"
#include "common/console.h"
#include "mqtt/tls_trust.h"
#include "ui/user_connection.h"

namespace tgw::ui {

namespace {

const QString kLoggingIn = QStringLiteral("Aan het verbinden...");
const QString kLoggedIn = QStringLiteral("Verbonden!");
const QString kRejected = QStringLiteral("Ingevoerde gegevens zijn onjuist.");
const QString kConnectionLost = QStringLiteral("Verbinding verbroken");
const QString kNoServer = QStringLiteral("Geen verbinding met de server.");
const QString kBadReply = QStringLiteral("Ongeldig antwoord van de server.");

// The login form: field names as the web service expects them, values
// percent-encoded so that "&", "=", "+" and "%" arrive as typed.
QByteArray loginBody(const QString& email, const QString& password) {
    return "_method=POST&data[User][email]=" + QUrl::toPercentEncoding(email) +
           "&data[User][password]=" + QUrl::toPercentEncoding(password);
}

QSslConfiguration tlsConfiguration() {
    return mqtt::trustedTlsConfiguration(app::extraCaCertificates());
}

}  // namespace

ViewController::ViewController(app::AppDelegate& appDelegate, QWidget* parent)
    : QWidget(parent),
      m_appDelegate(appDelegate),
      m_emailField(new QLineEdit(this)),
      m_passwordField(new QLineEdit(this)),
      m_connectButton(new QPushButton(tr("Verbinden"), this)),
      m_statusLabel(new QLabel(this)) {
    setWindowTitle(QStringLiteral("TGW Mobile Tool"));
    m_emailField->setPlaceholderText(QStringLiteral("naam@voorbeeld.nl"));
    m_emailField->setInputMethodHints(Qt::ImhEmailCharactersOnly);
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_connectButton->setDefault(true);

    auto* form = new QFormLayout;
    form->addRow(tr("E-mailadres"), m_emailField);
    form->addRow(tr("Wachtwoord"), m_passwordField);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_connectButton);
    layout->addWidget(m_statusLabel);
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
    m_appDelegate.viewContrl = this;
}

ViewController::~ViewController() {
    if (m_appDelegate.viewContrl == this) m_appDelegate.viewContrl = nullptr;
}

void ViewController::connectButtonClicked() {
    m_emailField->setEnabled(false);
    m_connectButton->setEnabled(false);
    m_statusLabel->setText(kLoggingIn);
    connect();
}

void ViewController::connect() {
    const QString email = m_emailField->text();
    const QString password = m_passwordField->text();
    m_passwordField->setEnabled(false);

    QNetworkRequest request(QUrl(QString::fromStdString(app::webServiceUrl()) + "/api/connect"));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    request.setSslConfiguration(tlsConfiguration());
    QNetworkReply* reply = m_network.post(request, loginBody(email, password));
    QObject::connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        loginReplied(reply);
        emit loginFinished();
    });
}

void ViewController::loginReplied(QNetworkReply* reply) {
    const bool failed = reply->error() != QNetworkReply::NoError;
    if (failed) writeConsoleLine(reply->errorString().toStdString());
    const QByteArray body = reply->readAll();
    // A reply that decodes counts, whatever the HTTP status.
    if (body.isEmpty()) {
        showFailure(failed ? kNoServer : kBadReply);
        return;
    }
    std::string error;
    const auto user = UserConnection::decode(body.toStdString(), &error);
    if (!user) {
        writeConsoleLine(error);
        showFailure(kBadReply);
        return;
    }
    writeConsoleLine(user->description());
    if (!user->prefixIsUsable()) {
        writeConsoleLine("the account's prefix holds a character that cannot be in a topic");
        showFailure(kBadReply);
        return;
    }
    if (user->success != 1) {
        showFailure(kRejected);
        return;
    }
    m_statusLabel->setText(kLoggedIn);
    m_appDelegate.prefix = user->prefix;
    m_appDelegate.connectMqtt();
}

void ViewController::disconnect() {
    m_statusLabel->setText(kConnectionLost);
    setFormEnabled(true);
}

void ViewController::showFailure(const QString& status) {
    m_statusLabel->setText(status);
    setFormEnabled(true);
}

void ViewController::setFormEnabled(bool enabled) {
    m_emailField->setEnabled(enabled);
    m_passwordField->setEnabled(enabled);
    m_connectButton->setEnabled(enabled);
}

bool ViewController::dialog(const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Melding"), QString(),
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
