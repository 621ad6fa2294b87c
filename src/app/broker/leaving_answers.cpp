#include "app/broker/leaving_answers.h"

#include "app/protocol/mqtt_api.h"
#include "app/queries/query_runner.h"

namespace tgw::app {

std::vector<std::string> answersWhileLeaving(const std::string& text,
                                             std::optional<std::string_view> offline) {
    const std::optional<MqttApi> command = MqttApi::decode(text);
    if (!command) return {};
    const std::string error(kLeavingError);
    auto of = [&](QueryKind kind) { return QueryRunner::resultOf(kind, error, *command).encode(); };
    if (command->type == "sync") return {std::string(kSyncReply)};
    if (command->type == "android") {
        return {of(QueryKind::androidProperties), of(QueryKind::androidImei)};
    }
    if (command->type == "apple") {
        return {
            of(command->action == "battery" ? QueryKind::appleDiagnostics : QueryKind::appleInfo)};
    }
    if (command->type == "devices") return {MqttApi{"devices", error}.encode()};
    if (command->type == "status" && offline) return {std::string(*offline)};
    return {};
}

}  // namespace tgw::app
