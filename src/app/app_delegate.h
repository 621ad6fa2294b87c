// AppDelegate: the agent's controller. It only wires the units that do the
// work: the broker link (connection, reconnecting, the results' outbox), the
// command handler and query runner (what a command does), the device monitor
// (the attached phones), the phones' records and the login flow; and it passes the connection's
// states on to the login window.
//
// Lives on the main thread; created by main() and outlives the window.
#pragma once

#include <QJsonObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/broker/broker_link.h"
#include "app/config/config.h"
#include "app/devices/device_monitor.h"
#include "app/login/login_client.h"
#include "app/login/login_flow.h"
#include "app/queries/command_handler.h"
#include "app/queries/phone_records.h"
#include "app/queries/query_runner.h"

namespace tgw::process {
class Bundle;
}

namespace tgw::app {

// What the controller needs of the login window.
class LoginWindow {
  public:
    virtual ~LoginWindow() = default;
    // Every change of the connection's state.
    virtual void connectionStateChanged(ConnectionState) {}
    // When the link tries next has changed (BrokerLink::nextAttempt).
    virtual void nextAttemptChanged() {}
};

class AppDelegate : private BrokerLink::Listener, public LoginFlow::Connection {
  public:
    static constexpr const char* kUsername = kBuiltInBrokerUsername;
    static constexpr const char* kPassword = kBuiltInBrokerPassword;
    static constexpr uint16_t kKeepAlive = 60;

    // What the program takes as it is and tests change.
    struct Options {
        BrokerLink::ClientFactory factory;        // none: the program's sessions
        const process::Bundle* bundle = nullptr;  // the tools; none: the main bundle
        ReconnectDelays delays;
        uint16_t keepAlive = kKeepAlive;
    };

    // `options.bundle` must outlive the controller.
    AppDelegate(const Config& config, Options options);
    explicit AppDelegate(const Config& config);
    ~AppDelegate() override;

    // Connects for an account whose login succeeded (see BrokerLink::start).
    void start(std::string prefix, std::optional<BrokerCredentials> credentials) override;
    void start(std::string prefix) { start(std::move(prefix), std::nullopt); }
    // Ends the connection and any retrying without telling the window (a new
    // login follows: the goodbye's reason is "switch").
    void stop() override;
    // Logging out: the account's running and waiting queries end unanswered,
    // its held results go, and the connection ends (reason "logout").
    void end() override;
    // Quitting for `cause` ("a signal", "the tray menu", "the end of the
    // session", ...), which the log names: the offline status and DISCONNECT
    // (at most 1 s), every tool stopped, then `done` on the event loop.
    void shutdown(const std::string& cause, std::function<void()> done);
    void shutdown(std::function<void()> done) { shutdown("quit", std::move(done)); }
    // What a person asking the running agent sees (see BrokerLink::describe),
    // with the phones, the queries running and waiting, the version, the
    // e-mail address and web service of the login, and the login's failure
    // when it is the last error; "logged out" as the state after Afmelden.
    QJsonObject status() const;
    // Non-owning; the window unsets it (or outlives the controller).
    void setLoginWindow(LoginWindow* window) { m_window = window; }

    ConnectionState state() const { return m_link.state(); }
    BrokerLink& link() { return m_link; }
    QueryRunner& queries() { return m_runner; }
    CommandHandler& commands() { return m_commands; }
    const PhoneRecords& phoneRecords() const { return m_records; }
    DeviceMonitor& deviceMonitor() { return *m_devices; }
    LoginFlow& loginFlow() { return m_loginFlow; }
    LoginClient& loginClient() { return m_loginClient; }

  private:
    // BrokerLink::Listener
    void connectionStateChanged(ConnectionState state) override;
    void commandArrived(const std::string& prefix, const std::string& text) override;
    void nextAttemptChanged() override;

    void sendResult(std::string prefix, std::string payload);
    void devicesChanged();

    LoginWindow* m_window = nullptr;
    // The account logged in, whose prefix every result is for; empty when none.
    std::string m_account;
    std::unique_ptr<DeviceMonitor> m_devices;
    BrokerLink m_link;
    QueryRunner m_runner;
    CommandHandler m_commands;
    PhoneRecords m_records;
    LoginClient m_loginClient;
    LoginFlow m_loginFlow;
};

}  // namespace tgw::app
