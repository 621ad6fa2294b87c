// The topics of one account, <prefix> being the one its login returned:
// commands arrive on the command topic, results go to the result topic, and the
// status topic holds the agent's presence, retained.
#pragma once

#include <string>

namespace tgw::app {

inline std::string commandTopic(const std::string& prefix) {
    return "tg/" + prefix + "/tool";
}
inline std::string resultTopic(const std::string& prefix) {
    return "tg/" + prefix + "/tool/web";
}
inline std::string statusTopic(const std::string& prefix) {
    return "tg/" + prefix + "/tool/status";
}

}  // namespace tgw::app
