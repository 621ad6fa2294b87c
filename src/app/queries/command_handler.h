// CommandHandler: what the agent does with one command from the web service.
// Decodes it, answers "sync" at once, checks a phone's serial or udid before
// any tool sees it, queues the device queries of "android" and "apple" and
// one identity read per phone for "identity", lists the phones for "devices",
// answers "status" with the online status. A command's valid "id" goes back on
// each of its answers; an invalid one is answered with errors. Every answer
// goes to the sink.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tgw::app {

class DeviceMonitor;
struct MqttApi;
class QueryRunner;

class CommandHandler {
  public:
    using Sink = std::function<void(std::string prefix, std::string payload)>;
    // The online status; none when the agent publishes no status.
    using StatusSource = std::function<std::optional<std::string>()>;

    // `runner` and `devices` must outlive the handler.
    CommandHandler(QueryRunner& runner, DeviceMonitor& devices, Sink sink);
    ~CommandHandler();

    // Runs one command (its JSON text) for the account `prefix`.
    void handle(const std::string& prefix, const std::string& text);
    // Without one, "status" is an unknown type.
    void setStatusSource(StatusSource source) { m_status = std::move(source); }

  private:
    void identity(const std::string& prefix, const MqttApi& command);

    QueryRunner& m_runner;
    DeviceMonitor& m_devices;
    // Shared with the device listing's callback, which may outlive the handler.
    std::shared_ptr<Sink> m_sink;
    StatusSource m_status;
};

}  // namespace tgw::app
