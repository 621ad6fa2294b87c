// Collects what is logged through Qt's logging categories while it lives.
#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include "mqtt/codec/logger.h"

namespace tgw::test {

class LogCapture {
  public:
    LogCapture() {
        s_lines = &m_lines;
        m_previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& ctx, const QString& text) {
                const char* level = type == QtWarningMsg ? "warning"
                                    : type == QtInfoMsg  ? "info"
                                                         : "other";
                s_lines->append(QString("%1 %2: %3").arg(level, ctx.category, text));
            });
        QLoggingCategory::setFilterRules("tgw.*=true");
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
        s_lines = nullptr;
    }
    // Whether a line of this level ("warning", "info") contains `text`.
    bool has(const QString& level, const QString& text) const {
        for (const QString& l : m_lines)
            if (l.startsWith(level) && l.contains(text)) return true;
        return false;
    }
    QString all() const { return m_lines.join('\n'); }

  private:
    QStringList m_lines;
    QtMessageHandler m_previous;
    static inline QStringList* s_lines = nullptr;
};

// Sets the MQTT logger's level while it lives, then restores the level it found.
class MqttLogLevel {
  public:
    explicit MqttLogLevel(tgw::mqtt::MqttLoggerLevel level)
        : m_saved(tgw::mqtt::MqttLogger::logger().minLevel()) {
        tgw::mqtt::MqttLogger::logger().setMinLevel(level);
    }
    ~MqttLogLevel() { tgw::mqtt::MqttLogger::logger().setMinLevel(m_saved); }
    MqttLogLevel(const MqttLogLevel&) = delete;
    MqttLogLevel& operator=(const MqttLogLevel&) = delete;

  private:
    tgw::mqtt::MqttLoggerLevel m_saved;
};

}  // namespace tgw::test
