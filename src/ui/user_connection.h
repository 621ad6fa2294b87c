// UserConnection: the web service's answer to a login.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tgw::ui {

struct UserConnection {
    int64_t success = 0;  // 1: the credentials were accepted
    std::string prefix;   // the account's topic prefix

    // A JSON object with an integer "success" and a string "prefix"; anything
    // else gives none, with the reason in `error`.
    static std::optional<UserConnection> decode(std::string_view json,
                                                std::string* error = nullptr);
    // For the console, e.g. UserConnection(success: 1, prefix: "demo").
    std::string description() const;
    // A prefix that would widen the account's topics ("+", "#") or that the
    // broker cannot take (NUL) is not usable.
    bool prefixIsUsable() const;
};

}  // namespace tgw::ui
