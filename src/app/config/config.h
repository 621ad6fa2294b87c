// The agent's configuration: every setting with the place its value came from.
// Layers, each overriding the one before: built-in defaults, the system file
// (/etc/tgw-mobile-tool/agent.conf), the user's file
// ($XDG_CONFIG_HOME/tgw-mobile-tool/agent.conf, or the file given with
// --config instead), the TGW_* environment variables, command-line options.
// Files are INI files as QSettings reads them ("[broker]" then "port=8883").
//
// A value that cannot be used is an error naming where it came from, the key
// and the value; main() stops the start on it. main() builds the one Config
// and hands it to the units that need it; nothing reads it globally.
#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <optional>

#include "app/config/settings.h"

namespace tgw::app {

enum class LogLevel { debug, info, warning, error };

const char* toString(LogLevel level);
std::optional<LogLevel> parseLogLevel(const QString& text);

struct Config {
    QString brokerHost;
    uint16_t brokerPort = 0;
    QString caFile;  // empty: none
    QString brokerUsername;
    QString brokerPassword;
    QString webUrl;  // https, without trailing slashes
    LogLevel logLevel = LogLevel::info;
    // The retained online/offline status on tg/<prefix>/tool/status and the
    // will that stands for it.
    bool presenceEnabled = true;
    // Each ready phone's identity, read when it becomes ready and retained on
    // tg/<prefix>/tool/phones/<serial or udid> while it is attached.
    bool identifyOnAttach = true;
    Limits limits;

    // Key ("broker/port") -> where its value came from: "built-in default",
    // a file's path, "environment TGW_BROKER_PORT", "option --log-level".
    std::map<QString, QString> origins;

    // The built-in defaults alone.
    static Config builtIn();
    // The settings' keys in the order they are listed.
    static const QStringList& keys();
    // "key = value  (origin)" lines, passwords masked.
    QStringList describe() const;
};

// Where to look and what the command line said.
struct ConfigSources {
    QString systemFile;                 // empty: not read
    QString userFile;                   // empty: not read; a missing file is fine
    std::optional<QString> configFile;  // --config: read instead of userFile; must exist
    bool readEnvironment = true;
    std::optional<QString> logLevelOption;  // --log-level

    // The default places: the system file ($TGW_SYSTEM_CONFIG overrides the
    // path, for staging and tests) and the user's file.
    static ConfigSources standard();
};

struct ConfigResult {
    Config config;
    // One line per value that could not be used, "<origin>: <key> = "<value>":
    // <why>"; empty when all is well.
    QStringList errors;
    // Keys in files that mean nothing here (likely typos), "<file>: <key>".
    QStringList unknownKeys;
};

// Reads the layers in order. A bad value is reported and the layer below it stays.
ConfigResult loadConfig(const ConfigSources& sources);

}  // namespace tgw::app
