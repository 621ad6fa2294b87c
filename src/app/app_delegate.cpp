#include "app/app_delegate.h"

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
      m_loginClient(config),
      m_loginFlow(m_loginClient, *this) {}

AppDelegate::AppDelegate(const Config& config) : AppDelegate(config, Options{}) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::start(std::string prefix, std::optional<BrokerCredentials> credentials) {
    m_runner.setAccount(prefix);
    m_link.start(std::move(prefix), std::move(credentials));
}

void AppDelegate::stop() {
    m_link.stop();
}

void AppDelegate::shutdown(std::function<void()> done) {
    m_link.shutdown([this, done = std::move(done)] {
        m_runner.stopAll();
        done();
    });
}

void AppDelegate::connectionStateChanged(ConnectionState state) {
    if (m_window) m_window->connectionStateChanged(state);
}

void AppDelegate::commandArrived(const std::string& prefix, const std::string& text) {
    m_commands.handle(prefix, text);
}

void AppDelegate::sendResult(std::string prefix, std::string payload) {
    m_link.sendResult({std::move(prefix), std::move(payload)});
}

}  // namespace tgw::app
