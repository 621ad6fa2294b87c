// The answers to a command that arrives while a connection says goodbye
// (between the offline status and the DISCONNECT): nothing runs any more for
// it, so each result it would have had is sent at once with the data
// "error: the agent is disconnecting; not run". A "sync" is answered as ever
// and a "status" with the offline status; what would get no answer (an
// undecodable command, an unknown type) gets none now either.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tgw::app {

inline constexpr std::string_view kLeavingError = "error: the agent is disconnecting; not run";

// The result payloads for `command` (its JSON text); `offline` is the status a
// "status" command gets, none with presence off.
std::vector<std::string> answersWhileLeaving(const std::string& command,
                                             std::optional<std::string_view> offline);

}  // namespace tgw::app
