// ViewController: the agent's only window. Logged out it shows the login
// form (e-mail address, password, "Onthouden") and starts the login flow
// (app::LoginFlow), which logs in and connects; logged in it shows the
// account, the broker connection's state as the controller reports it, a
// way to connect at once while waiting ("Nu opnieuw verbinden") and one to
// log out. One state line at the top (a coloured mark, the state, since when
// and when the next attempt comes); the attached phones below.
//
// What it shows for each state comes from window_state.h; the tray follows
// it through stateShown() and shows its notificationRequested() texts.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <optional>
#include <chrono>
#include <functional>

#include "app/app_delegate.h"
#include "ui/window_state.h"

namespace tgw::ui {

class ViewController : public QWidget, public app::LoginWindow {
    Q_OBJECT
  public:
    // A connection lost (or not made) for this long is worth a notification.
    static constexpr std::chrono::milliseconds kLostNotice{60'000};

    // Registers itself with `appDelegate`, which must outlive the window.
    explicit ViewController(app::AppDelegate& appDelegate, QWidget* parent = nullptr);
    ~ViewController() override;

    // The button's action: ends the running connection, shows the logging-in
    // state, then sendLogin().
    void connectButtonClicked();
    // Reads the fields and sends the login request (the login's `connect`
    // step, named so that it does not hide QObject::connect).
    void sendLogin();
    // Logs in with the remembered login, if the flow's store holds one, and
    // says whether "Onthouden" is possible. `started` is called once, with
    // whether a login has started.
    void restoreLogin(std::function<void(bool started)> started);
    // "Afmelden": no connection, no retrying, nothing remembered, the empty form.
    void logOut();
    // "Nu opnieuw verbinden": the waiting login or connection attempt starts now.
    void reconnectNow();
    // Quitting from the tray: asks first while queries run or wait; false
    // when the technician kept the agent running.
    bool confirmQuit();
    // Quits the agent for `cause` (for the log), then `done` (by default the
    // application's end).
    void quit(const std::string& cause, std::function<void()> done = {});
    bool isQuitting() const { return m_quitting; }
    // The broker connection has ended: offers the login again (the window's
    // `disconnect`, named so that it does not hide QObject::disconnect).
    void showDisconnected();
    // Shows the broker connection's state; ignored while a login request runs
    // (it then belongs to the connection that the new login replaces).
    void connectionStateChanged(app::ConnectionState state) override;
    void nextAttemptChanged() override;
    // The second status line: the phones and the tools of the last listing
    // (phone_lines.h).
    void showDevicePresence(const app::DevicePresence& presence);
    // A modal notice titled "Melding" that shows `text`, with one button, "OK".
    bool dialog(const QString& text);
    // A modal warning with "OK" and "Cancel"; true when "OK" closed it.
    bool dialogOKCancel(const QString& question, const QString& text);

    // With a tray, closing the window hides it; without one, closing while
    // logged in asks before quitting.
    void setClosingHides(bool hides) { m_closingHides = hides; }
    void setLostNoticeDelay(std::chrono::milliseconds delay) { m_lostTimer.setInterval(delay); }

    const ShownState& shown() const { return m_shown; }
    QString accountEmail() const { return m_account; }
    QStringList devicePresence() const { return m_presence; }
    // A phone is attached and ready for the web service's queries.
    bool phoneReady() const { return m_phoneReady; }
    // The tray's look: the state's, grey when connected without a ready phone.
    TrayLook look() const;
    // The line under the state: since when, and when the next attempt comes.
    QString sinceText() const { return m_sinceLabel->text(); }

    QLineEdit* emailField() const { return m_emailField; }
    QLineEdit* passwordField() const { return m_passwordField; }
    QCheckBox* rememberBox() const { return m_rememberBox; }
    QPushButton* connectButton() const { return m_connectButton; }
    QLabel* statusLabel() const { return m_statusLabel; }
    QLabel* presenceLabel() const { return m_presenceLabel; }
    QWidget* formPanel() const { return m_formPanel; }
    QWidget* accountPanel() const { return m_accountPanel; }
    QLabel* accountLabel() const { return m_accountLabel; }
    QLabel* sinceLabel() const { return m_sinceLabel; }
    QLabel* adviceLabel() const { return m_adviceLabel; }
    QLabel* stateMark() const { return m_stateMark; }
    QPushButton* logoutButton() const { return m_logoutButton; }
    QPushButton* reconnectButton() const { return m_reconnectButton; }

  signals:
    // The login request has been answered (or has failed) and handled.
    void loginFinished();
    // What the window shows has changed (state, account or phones).
    void stateShown();
    // A short notice for the technician, at most one per change of state.
    void notificationRequested(const QString& text);
    // A refusal, an untrusted certificate or a failed login: the window
    // should come forward.
    void technicianNeeded();

  protected:
    // Hides the window or quits, see setClosingHides().
    void closeEvent(QCloseEvent* event) override;
    // Enter logs in from anywhere in the form.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Shows how the login ended, then emits loginFinished().
    void loginEnded(app::LoginClient::Outcome outcome);
    void startLogin(const QString& email);
    // Forgets the connection's past: no lost-connection notice pending or shown.
    void resetLinkNotices();
    void present(const ShownState& state);
    bool askQuit(const QString& why);
    // Since when the state holds and when the next attempt comes.
    void showTimes();
    // The window as high as its texts need: no more, no less.
    void fitContents();

    app::AppDelegate& m_appDelegate;
    QWidget* m_formPanel;
    QLineEdit* m_emailField;
    QLineEdit* m_passwordField;
    QCheckBox* m_rememberBox;
    QPushButton* m_connectButton;
    QWidget* m_accountPanel;
    QLabel* m_accountLabel;
    QLabel* m_sinceLabel;
    QLabel* m_adviceLabel;
    QPushButton* m_reconnectButton;
    QPushButton* m_logoutButton;
    QLabel* m_stateMark;
    QLabel* m_statusLabel;
    QLabel* m_presenceLabel;

    ShownState m_shown;
    LinkHistory m_history;
    QString m_account;  // the e-mail address logged in with
    QStringList m_presence;
    bool m_phoneReady = false;
    QTimer m_lostTimer;
    bool m_lostNoticeShown = false;
    bool m_closingHides = false;
    bool m_hideNoticeShown = false;
    bool m_quitting = false;
};

}  // namespace tgw::ui
