// ViewController: the agent's only window. Takes the e-mail address and
// password of the technician's web account and starts the login flow
// (app::LoginFlow), which logs in and connects; afterwards one status line
// shows the broker connection's state as the controller reports it, and a
// second one the attached phones.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

#include "app/app_delegate.h"

namespace tgw::ui {

class ViewController : public QWidget, public app::LoginWindow {
    Q_OBJECT
  public:
    // Registers itself with `appDelegate`, which must outlive the window.
    explicit ViewController(app::AppDelegate& appDelegate, QWidget* parent = nullptr);
    ~ViewController() override;

    // The button's action: ends the running connection, shows the logging-in
    // state, then sendLogin().
    void connectButtonClicked();
    // Reads the fields and sends the login request (the login's `connect`
    // step, named so that it does not hide QObject::connect).
    void sendLogin();
    // The broker connection has ended: offers the login again (the window's
    // `disconnect`, named so that it does not hide QObject::disconnect).
    void showDisconnected();
    // Shows the broker connection's state; ignored while a login request runs
    // (it then belongs to the connection that the new login replaces).
    void connectionStateChanged(app::ConnectionState state) override;
    // The second status line: one line per attached phone, or none.
    void showDevicePresence(const QStringList& lines);
    // A modal notice titled "Melding" that shows `text`, with one button, "OK".
    bool dialog(const QString& text);
    // A modal warning with "OK" and "Cancel"; true when "OK" closed it.
    bool dialogOKCancel(const QString& question, const QString& text);

    QLineEdit* emailField() const { return m_emailField; }
    QLineEdit* passwordField() const { return m_passwordField; }
    QPushButton* connectButton() const { return m_connectButton; }
    QLabel* statusLabel() const { return m_statusLabel; }
    QLabel* presenceLabel() const { return m_presenceLabel; }

  signals:
    // The login request has been answered (or has failed) and handled.
    void loginFinished();

  protected:
    // Closing the window quits the agent once the controller has shut down.
    void closeEvent(QCloseEvent* event) override;

  private:
    void loginEnded(app::LoginClient::Outcome outcome);
    // Shows `status` with the form disabled (a connection is being made or held).
    void showBusy(const QString& status);
    // Shows `status` and offers the form; the keyboard focus goes back to the
    // e-mail field when the form was disabled.
    void offerLogin(const QString& status);
    void setFormEnabled(bool enabled);

    app::AppDelegate& m_appDelegate;
    QLineEdit* m_emailField;
    QLineEdit* m_passwordField;
    QPushButton* m_connectButton;
    QLabel* m_statusLabel;
    QLabel* m_presenceLabel;
    bool m_closing = false;
};

}  // namespace tgw::ui
