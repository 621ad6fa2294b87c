#include "app/queries/command_handler.h"

#include "app/devices/device_monitor.h"
#include "app/protocol/device_list.h"
#include "app/protocol/mqtt_api.h"
#include "app/queries/console_text.h"
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

namespace {

// The tool queries of an "android" or "apple" command, by its action.
std::vector<QueryKind> kindsOf(const MqttApi& command) {
    if (command.type == "android") {
        if (command.action == "battery") return {QueryKind::androidBattery};
        return {QueryKind::androidProperties, QueryKind::androidImei};
    }
    if (command.action == "battery") return {QueryKind::appleDiagnostics};
    if (command.action == "battery-health") return {QueryKind::appleBatteryHealth};
    return {QueryKind::appleInfo};
}

// `result` (a JSON object) with the command's "id" as its first member.
std::string withId(std::string result, const std::optional<std::string>& id) {
    if (id && result.starts_with('{'))
        result.insert(1, "\"id\":" + jsonString(*id) + (result.size() > 2 ? "," : ""));
    return result;
}

// The phones an identity command asks for: one by its serial or udid, else all.
std::vector<DeviceInfo> identityPhones(const std::vector<DeviceInfo>& devices,
                                       const MqttApi& command) {
    std::vector<DeviceInfo> phones;
    for (const DeviceInfo& d : devices) {
        const bool apple = d.platform == DeviceInfo::Platform::apple;
        const std::optional<std::string>& named = apple ? command.udid : command.serial;
        if (command.serial || command.udid) {
            if (!named || d.id.toStdString() != *named) continue;
        }
        phones.push_back(d);
    }
    return phones;
}

// The tools a listing could not ask, in words: "; adb is not installed".
std::string toolProblems(const std::vector<ToolProblem>& problems) {
    std::string text;
    for (const ToolProblem& p : problems) {
        text += "; " + p.tool.toStdString();
        switch (p.kind) {
            case ToolProblem::Kind::notInstalled: text += " is not installed"; break;
            case ToolProblem::Kind::cannotStart: text += " cannot be started"; break;
            case ToolProblem::Kind::notResponding: text += " does not respond"; break;
            case ToolProblem::Kind::failed: text += " failed: " + p.detail.toStdString(); break;
        }
    }
    return text;
}

}  // namespace

void CommandHandler::handle(const std::string& prefix, const std::string& text) {
    std::string error;
    const std::optional<MqttApi> command = MqttApi::decode(text, &error);
    if (!command) {
        writeConsoleLine("command ignored: " + error);
        return;
    }
    writeConsoleLine(consoleQuote(command->type));
    const Sink& send = *m_sink;
    const bool query = command->type == "android" || command->type == "apple";
    if (command->invalidId) {
        // Its answers cannot be matched to it: each says why instead.
        const std::string why(kInvalidIdError);
        if (query) {
            for (QueryKind kind : kindsOf(*command))
                send(prefix, QueryRunner::resultOf(kind, why, *command).encode());
        } else if (command->type == "sync" || command->type == "devices" ||
                   command->type == "identity" || (command->type == "status" && m_status)) {
            send(prefix, MqttApi{command->type, why}.encode());
        } else {
            writeConsoleLine("unknown type");
        }
        return;
    }
    if (command->type == "sync") {
        send(prefix, command->id ? MqttApi{"sync", std::nullopt, std::nullopt, std::nullopt,
                                           std::nullopt, command->id}
                                       .encode()
                                 : std::string(kSyncReply));
    } else if (command->type == "android") {
        if (command->serial && !validDeviceId(*command->serial)) {
            for (QueryKind kind : kindsOf(*command)) {
                send(prefix,
                     QueryRunner::resultOf(kind, "error: invalid serial", *command).encode());
            }
            return;
        }
        for (QueryKind kind : kindsOf(*command)) m_runner.enqueue(kind, *command, prefix);
    } else if (command->type == "apple") {
        const QueryKind kind = kindsOf(*command).front();
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
    } else if (command->type == "identity") {
        identity(prefix, *command);
    } else if (command->type == "devices") {
        std::weak_ptr<Sink> sink = m_sink;
        m_devices.listDevices(
            [sink, prefix, id = command->id](const std::vector<DeviceInfo>& devices) {
                const auto s = sink.lock();
                if (!s || !*s) return;
                if (!id) {
                    (*s)(prefix, devicesResultJson(devices).toStdString());
                    return;
                }
                (*s)(prefix, "{\"type\":\"devices\",\"id\":" + jsonString(*id) +
                                 ",\"data\":" + devicesDataJson(devices).toStdString() + "}");
            });
    } else if (const std::optional<std::string> status =
                   command->type == "status" && m_status ? m_status() : std::nullopt) {
        send(prefix, withId(*status, command->id));
    } else {
        writeConsoleLine("unknown type");
    }
}

void CommandHandler::identity(const std::string& prefix, const MqttApi& command) {
    MqttApi failure{"identity"};
    failure.serial = command.serial;
    failure.udid = command.udid;
    failure.id = command.id;
    const Sink& send = *m_sink;
    if ((command.serial && !validDeviceId(*command.serial)) ||
        (command.udid && !validDeviceId(*command.udid))) {
        failure.data = command.serial && !validDeviceId(*command.serial) ? "error: invalid serial"
                                                                         : "error: invalid udid";
        send(prefix, failure.encode());
        return;
    }
    // A fresh listing: the phones and their states as they are now.
    std::weak_ptr<Sink> sink = m_sink;
    QueryRunner* runner = &m_runner;
    DeviceMonitor* monitor = &m_devices;
    m_devices.listDevices([sink, runner, monitor, prefix, command,
                           failure](const std::vector<DeviceInfo>& devices) mutable {
        const auto s = sink.lock();
        if (!s || !*s) return;  // the handler, and so maybe the runner and monitor, is gone
        const std::vector<DeviceInfo> phones = identityPhones(devices, command);
        if (phones.empty()) {
            failure.data =
                command.serial ? "error: no phone with serial " + *command.serial + " is attached"
                : command.udid ? "error: no iPhone with udid " + *command.udid + " is attached"
                               : "error: no phone is attached";
            // A phone may be missing because a tool could not list it.
            *failure.data += toolProblems(monitor->presence().toolProblems);
            (*s)(prefix, failure.encode());
            return;
        }
        for (const DeviceInfo& phone : phones) runner->enqueueIdentity(phone, command, prefix);
    });
}

}  // namespace tgw::app
