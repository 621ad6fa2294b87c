// ViewController: the agent's only window. Takes the e-mail address and
// password of the technician's web account, checks them with the web service
// over HTTPS, hands the account's topic prefix to the controller and asks it to
// connect; afterwards one status line shows the connection state.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QWidget>

#include "app/app_delegate.h"

namespace tgw::ui {

class ViewController : public QWidget, public app::LoginWindow {
    Q_OBJECT
  public:
    // Registers itself with `appDelegate`, which must outlive the window.
    explicit ViewController(app::AppDelegate& appDelegate, QWidget* parent = nullptr);
    ~ViewController() override;

    // The button's action: shows the logging-in state, then connect().
    void connectButtonClicked();
    // Sends the login request with the typed credentials.
    void connect();
    // The broker connection has ended: offers the login again.
    void disconnect() override;
    // A modal notice titled "Melding" with one button, "OK".
    bool dialog(const QString& text);
    // A modal warning with "OK" and "Cancel"; true when "OK" closed it.
    bool dialogOKCancel(const QString& question, const QString& text);

    QLineEdit* emailField() const { return m_emailField; }
    QLineEdit* passwordField() const { return m_passwordField; }
    QPushButton* connectButton() const { return m_connectButton; }
    QLabel* statusLabel() const { return m_statusLabel; }

  signals:
    // The login request has been answered (or has failed) and handled.
    void loginFinished();

  private:
    void loginReplied(QNetworkReply* reply);
    void setFormEnabled(bool enabled);
    void showFailure(const QString& status);

    app::AppDelegate& m_appDelegate;
    QLineEdit* m_emailField;
    QLineEdit* m_passwordField;
    QPushButton* m_connectButton;
    QLabel* m_statusLabel;
    QNetworkAccessManager m_network;
};

}  // namespace tgw::ui
