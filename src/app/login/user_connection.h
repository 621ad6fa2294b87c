// UserConnection: the web service's answer to a login.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tgw::app {

struct UserConnection {
    int64_t success = 0;  // 1: the credentials were accepted
    std::string prefix;   // the account's topic prefix
    // The account's own broker credentials, when the web service hands them
    // out ("mqtt_username", "mqtt_password"): both or neither.
    std::optional<std::string> mqttUsername;
    std::optional<std::string> mqttPassword;

    // A JSON object with an integer "success" and a string "prefix", and
    // optionally both "mqtt_username" and "mqtt_password" as strings; anything
    // else gives none, with the reason in `error`.
    static std::optional<UserConnection> decode(std::string_view json,
                                                std::string* error = nullptr);
    // For the console, e.g. UserConnection(success: 1, prefix: "demo"); never
    // shows the broker credentials.
    std::string description() const;
    // A prefix that would widen the account's topics ("+", "#") or that the
    // broker cannot take (NUL) is not usable.
    bool prefixIsUsable() const;
};

}  // namespace tgw::app
