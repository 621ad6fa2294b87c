// The MQTT client's logger: levelled lines "MQTT(<level>): <message>" on
// standard output, dropped below a minimum level. One shared instance for the
// whole process (the client's logLevel setting changes it for every client).
#pragma once

#include <string_view>

namespace tgw::mqtt {

enum class MqttLoggerLevel { debug, warning, error, off };

const char* toString(MqttLoggerLevel level);

class MqttLogger {
  public:
    static MqttLogger& logger();

    MqttLoggerLevel minLevel() const { return m_minLevel; }
    void setMinLevel(MqttLoggerLevel level) { m_minLevel = level; }
    bool isEnabled(MqttLoggerLevel level) const {
        return level != MqttLoggerLevel::off && level >= m_minLevel;
    }

    void log(MqttLoggerLevel level, std::string_view message);
    void debug(std::string_view message) { log(MqttLoggerLevel::debug, message); }
    void warning(std::string_view message) { log(MqttLoggerLevel::warning, message); }
    void error(std::string_view message) { log(MqttLoggerLevel::error, message); }

  private:
    MqttLogger() = default;
    MqttLoggerLevel m_minLevel = MqttLoggerLevel::warning;
};

void printDebug(std::string_view message);
void printWarning(std::string_view message);
void printError(std::string_view message);

// True when debug lines are written; hot paths check it before building a line.
inline bool debugEnabled() {
    return MqttLogger::logger().isEnabled(MqttLoggerLevel::debug);
}

}  // namespace tgw::mqtt
