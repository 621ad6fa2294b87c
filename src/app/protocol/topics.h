// The topics of one account, <prefix> being the one its login returned:
// commands arrive on the command topic, results go to the result topic, the
// status topic holds the agent's presence, retained, and each phone topic the
// identity of one ready phone, retained while the phone is attached.
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

// The record of the phone `id` (its adb serial or udid), which must be one
// topic level: isValidDeviceId() keeps out '/', '+', '#', NUL and the empty id.
inline std::string phoneTopic(const std::string& prefix, const std::string& id) {
    return "tg/" + prefix + "/tool/phones/" + id;
}
inline bool isPhoneTopic(const std::string& prefix, const std::string& topic) {
    return topic.starts_with("tg/" + prefix + "/tool/phones/");
}

}  // namespace tgw::app
