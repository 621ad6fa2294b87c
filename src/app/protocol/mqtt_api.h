// MqttApi: the JSON record of the agent's command protocol, carrying both the
// web service's commands and the agent's results, on the topics of topics.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/protocol/topics.h"

namespace tgw::app {

struct MqttApi {
    std::string type;
    std::optional<std::string> data = std::nullopt;
    std::optional<std::string> action = std::nullopt;
    // The phone a command is meant for: "serial" (adb) in "android" commands,
    // "udid" in "apple" commands; a result carries its query's key back.
    std::optional<std::string> serial = std::nullopt;
    std::optional<std::string> udid = std::nullopt;
    // The command's own name for itself, carried back on each of its results.
    std::optional<std::string> id = std::nullopt;
    // The command had an "id" that is not a valid request id: it is answered
    // with errors that say so (and carry no id).
    bool invalidId = false;

    // A JSON object with a string "type"; "data", "action", "serial" and "udid"
    // may be missing or null (none) or strings; other members are ignored.
    // "id" may be missing or null, else it must be a valid request id (or
    // `invalidId` is set). Anything else gives none, with the reason in `error`.
    static std::optional<MqttApi> decode(std::string_view json, std::string* error = nullptr);
    // Compact JSON with its keys in alphabetical order; the optional members
    // only when they hold a value ("" included). Text is read as UTF-8: bytes
    // that are not become U+FFFD, and a byte order mark at its start is dropped.
    std::string encode() const;
};

// A command's "id" the agent carries back: [A-Za-z0-9._:-]{1,64}.
bool isValidRequestId(std::string_view id);
// What a command with another "id" is answered with.
inline constexpr std::string_view kInvalidIdError =
    "error: invalid id (1 to 64 letters, digits, '.', '_', ':' or '-')";

// `text` as a JSON string, written as `encode` writes each member.
std::string jsonString(std::string_view text);

// The fixed reply to "sync", sent as it stands.
inline constexpr std::string_view kSyncReply = R"({"type": "sync"})";


}  // namespace tgw::app
