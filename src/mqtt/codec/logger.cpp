#include "mqtt/codec/logger.h"

#include <string>

#include "common/console.h"

namespace tgw::mqtt {

const char* toString(MqttLoggerLevel level) {
    switch (level) {
        case MqttLoggerLevel::debug: return "debug";
        case MqttLoggerLevel::warning: return "warning";
        case MqttLoggerLevel::error: return "error";
        case MqttLoggerLevel::off: return "off";
    }
    return "off";
}

MqttLogger& MqttLogger::logger() {
    static MqttLogger shared;
    return shared;
}

void MqttLogger::log(MqttLoggerLevel level, std::string_view message) {
    if (!isEnabled(level)) return;
    std::string line = "MQTT(";
    line += toString(level);
    line += "): ";
    line += message;
    writeConsoleLine(line);
}

void printDebug(std::string_view message) {
    MqttLogger::logger().debug(message);
}
void printWarning(std::string_view message) {
    MqttLogger::logger().warning(message);
}
void printError(std::string_view message) {
    MqttLogger::logger().error(message);
}

}  // namespace tgw::mqtt
