#include "app/queries/command_handler.h"

#include "app/devices/device_monitor.h"
#include "app/queries/console_text.h"
#include "app/protocol/mqtt_api.h"
#include "app/queries/query_runner.h"
#include "common/console.h"

namespace tgw::app {

namespace {

// A device id the tools may be given.
bool validDeviceId(const std::string& id) {
    return id.find('\n') == std::string::npos && isValidDeviceId(QString::fromStdString(id));
}

// The udids of the attached iPhones, comma-separated, from the last listing.
std::string attachedIPhones(const std::vector<DeviceInfo>& devices) {
    std::string udids;
    for (const DeviceInfo& d : devices) {
        if (d.platform != DeviceInfo::Platform::apple) continue;
        if (!udids.empty()) udids += ", ";
        udids += d.id.toStdString();
    }
    return udids;
}

}  // namespace

CommandHandler::CommandHandler(QueryRunner& runner, DeviceMonitor& devices, Sink sink)
    : m_runner(runner), m_devices(devices), m_sink(std::make_shared<Sink>(std::move(sink))) {}

CommandHandler::~CommandHandler() {
    *m_sink = nullptr;
}

void CommandHandler::handle(const std::string& prefix, const std::string& text) {
    std::string error;
    const std::optional<MqttApi> command = MqttApi::decode(text, &error);
    if (!command) {
        writeConsoleLine("command ignored: " + error);
        return;
    }
    writeConsoleLine(consoleQuote(command->type));
    const Sink& send = *m_sink;
    if (command->type == "sync") {
        send(prefix, std::string(kSyncReply));
    } else if (command->type == "android") {
        const QueryKind kinds[] = {QueryKind::androidProperties, QueryKind::androidImei};
        if (command->serial && !validDeviceId(*command->serial)) {
            for (QueryKind kind : kinds) {
                send(prefix,
                     QueryRunner::resultOf(kind, "error: invalid serial", *command).encode());
            }
            return;
        }
        for (QueryKind kind : kinds) m_runner.enqueue(kind, *command, prefix);
    } else if (command->type == "apple") {
        const QueryKind kind =
            command->action == "battery" ? QueryKind::appleDiagnostics : QueryKind::appleInfo;
        if (command->udid && !validDeviceId(*command->udid)) {
            send(prefix, QueryRunner::resultOf(kind, "error: invalid udid", *command).encode());
            return;
        }
        if (const std::string udids = attachedIPhones(m_devices.devices());
            !command->udid && udids.find(',') != std::string::npos) {
            // The tools would answer for whichever iPhone they find first.
            send(prefix, QueryRunner::resultOf(kind,
                                               "error: more than one iPhone attached (" + udids +
                                                   "); name one with \"udid\"",
                                               *command)
                             .encode());
            return;
        }
        m_runner.enqueue(kind, *command, prefix);
    } else if (command->type == "devices") {
        std::weak_ptr<Sink> sink = m_sink;
        m_devices.listDevices([sink, prefix](const std::vector<DeviceInfo>& devices) {
            const auto s = sink.lock();
            if (s && *s) (*s)(prefix, devicesResultJson(devices).toStdString());
        });
    } else if (const std::optional<std::string> status =
                   command->type == "status" && m_status ? m_status() : std::nullopt) {
        send(prefix, *status);
    } else {
        writeConsoleLine("unknown type");
    }
}

}  // namespace tgw::app
