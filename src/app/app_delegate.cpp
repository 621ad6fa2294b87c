#include "app/app_delegate.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include "common/console.h"
#include "common/diagnostics.h"

namespace tgw::app {

namespace {

BrokerSettings linkSettings(const Config& config, const AppDelegate::Options& options) {
    BrokerSettings settings = BrokerSettings::from(config);
    settings.delays = options.delays;
    settings.keepAlive = options.keepAlive;
    return settings;
}

}  // namespace

AppDelegate::AppDelegate(const Config& config, Options options)
    : m_devices(std::make_unique<DeviceMonitor>(options.bundle)),
      m_link(linkSettings(config, options),
             options.factory ? std::move(options.factory) : BrokerLink::sessionFactory(config),
             *this),
      m_runner(config.limits, options.bundle,
               [this](std::string prefix, std::string payload) {
                   sendResult(std::move(prefix), std::move(payload));
               }),
      m_commands(m_runner, *m_devices,
                 [this](std::string prefix, std::string payload) {
                     sendResult(std::move(prefix), std::move(payload));
                 }),
      m_records(config.identifyOnAttach, m_runner,
                [this](const std::string& prefix, std::string topic, std::string payload) {
                    if (prefix == m_account)
                        m_link.sendRecord(prefix, std::move(topic), std::move(payload));
                }),
      m_loginClient(config),
      m_loginFlow(m_loginClient, *this) {
    QObject::connect(m_devices.get(), &DeviceMonitor::devicesChanged, m_devices.get(),
                     [this] { devicesChanged(); });
    m_commands.setStatusSource([this] { return m_link.onlineStatus(); });
}

AppDelegate::AppDelegate(const Config& config) : AppDelegate(config, Options{}) {}

AppDelegate::~AppDelegate() = default;

// The one owner of the account in force: a switch ends the earlier account's
// queries, and the link drops what it held for it, before anything runs for
// the new one.
void AppDelegate::start(std::string prefix, std::optional<BrokerCredentials> credentials) {
    if (prefix != m_account) m_runner.cancelAll();  // the link drops what it held for it
    m_account = prefix;
    m_runner.setAccount(prefix);
    m_link.start(prefix, std::move(credentials));
    // The goodbye cleared any records of this account: they are made afresh.
    m_records.setAccount(std::move(prefix), m_devices->presence());
}

void AppDelegate::stop() {
    m_link.stop();
}

void AppDelegate::end() {
    m_runner.cancelAll();
    m_records.setAccount({}, {});
    m_link.stop(OfflineReason::logout);
    m_link.dropResults();
    m_account.clear();
    m_runner.setAccount({});
}

void AppDelegate::shutdown(const std::string& cause, std::function<void()> done) {
    qCInfo(lcConnection).noquote() << "quitting:" << cause.c_str();
    m_link.shutdown([this, done = std::move(done)] {
        m_runner.stopAll();
        done();
    });
}

QJsonObject AppDelegate::status() const {
    QJsonObject status = m_link.describe();
    status.insert("email", m_loginFlow.email());
    status.insert("web_service", m_loginClient.webUrl());
    const QDateTime linkErrorAt = m_link.lastErrorAt();
    if (!m_loginFlow.lastError().empty() &&
        (!linkErrorAt.isValid() || m_loginFlow.lastErrorAt() >= linkErrorAt)) {
        status.insert("last_error", QString::fromStdString(m_loginFlow.lastError()));
        status.insert("last_error_at", m_loginFlow.lastErrorAt().toString(Qt::ISODate));
    }
    if (m_account.empty()) status.insert("prefix", QString());
    if (m_loginFlow.isRunning() || m_loginFlow.retryAt())
        status.insert("state", "logging in");
    else if (m_loginFlow.loggedOut())
        status.insert("state", "logged out");
    status.insert("phones",
                  QJsonDocument::fromJson(devicesDataJson(m_devices->devices())).array());
    status.insert("queries_running", qint64(m_runner.runningCount()));
    status.insert("queries_waiting", qint64(m_runner.waitingCount()));
    status.insert("version", QCoreApplication::applicationVersion());
    return status;
}

// The status carries the phones exactly as a devices reply's "data".
void AppDelegate::devicesChanged() {
    m_link.setPresenceDevices(devicesDataJson(m_devices->devices()).toStdString());
    m_records.devicesListed(m_devices->presence());
}

void AppDelegate::connectionStateChanged(ConnectionState state) {
    if (m_window) m_window->connectionStateChanged(state);
}

void AppDelegate::nextAttemptChanged() {
    if (m_window) m_window->nextAttemptChanged();
}

void AppDelegate::commandArrived(const std::string& prefix, const std::string& text) {
    m_commands.handle(prefix, text);
}

void AppDelegate::sendResult(std::string prefix, std::string payload) {
    if (prefix != m_account) {
        writeConsoleLine("result dropped: its account is no longer the one logged in");
        return;
    }
    m_link.sendResult({std::move(prefix), std::move(payload)});
}

}  // namespace tgw::app
