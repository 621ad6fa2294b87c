#include "app/config/config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>
#include <functional>
#include <limits>

#include "common/diagnostics.h"

namespace tgw::app {

namespace {

constexpr const char* kDefaultOrigin = "built-in default";
constexpr const char* kSystemFile = "/etc/tgw-mobile-tool/agent.conf";

// Parses `value` into the config; returns why it cannot be used, or nothing.
// `baseDir` resolves relative paths written in a file.
using Apply = std::function<QString(Config&, const QString& value, const QString& baseDir)>;

struct Key {
    const char* name;
    const char* environment;  // nullptr: no variable
    Apply apply;
};

std::optional<long long> parseInteger(const QString& text) {
    bool ok = false;
    const long long value = text.trimmed().toLongLong(&ok);
    if (!ok) return std::nullopt;
    return value;
}

// Whole seconds, 1 s to one day.
Apply seconds(std::chrono::milliseconds Limits::*field) {
    return [field](Config& c, const QString& value, const QString&) -> QString {
        const auto n = parseInteger(value);
        if (!n || *n < 1 || *n > 86'400) return "not a whole number of seconds from 1 to 86400";
        c.limits.*field = std::chrono::seconds(*n);
        return {};
    };
}

// true, on, yes, 1 or false, off, no, 0, in any case.
Apply flag(bool Config::*field) {
    return [field](Config& c, const QString& value, const QString&) -> QString {
        const QString text = value.trimmed().toLower();
        if (text == "true" || text == "on" || text == "yes" || text == "1") {
            c.*field = true;
        } else if (text == "false" || text == "off" || text == "no" || text == "0") {
            c.*field = false;
        } else {
            return "not one of true, false, on, off, yes, no, 1, 0";
        }
        return {};
    };
}

// A whole number from 1 to `max`.
Apply count(int Limits::*field, long long max) {
    return [field, max](Config& c, const QString& value, const QString&) -> QString {
        const auto n = parseInteger(value);
        if (!n || *n < 1 || *n > max) return "not a whole number from 1 to " + QString::number(max);
        c.limits.*field = static_cast<int>(*n);
        return {};
    };
}

// Bytes, with an optional K, M or G suffix (powers of 1024), within [min, max].
Apply bytes(size_t Limits::*field, long long min, long long max) {
    return [field, min, max](Config& c, const QString& value, const QString&) -> QString {
        QString text = value.trimmed();
        long long unit = 1;
        if (!text.isEmpty()) {
            switch (text.back().toUpper().unicode()) {
                case 'K': unit = 1LL << 10; break;
                case 'M': unit = 1LL << 20; break;
                case 'G': unit = 1LL << 30; break;
                default: break;
            }
            if (unit != 1) text.chop(1);
        }
        const auto n = parseInteger(text);
        const QString range =
            QString("a size in bytes (suffix K, M or G allowed) from %1 to %2").arg(min).arg(max);
        if (!n || *n < 0 || *n > max / unit || *n * unit < min) return range;
        c.limits.*field = static_cast<size_t>(*n * unit);
        return {};
    };
}

const std::vector<Key>& keyTable() {
    static const std::vector<Key> table{
        {"broker/host", "TGW_BROKER_HOST",
         [](Config& c, const QString& v, const QString&) -> QString {
             const QString host = v.trimmed();
             if (host.isEmpty() || host.contains(' ') || host.contains('/'))
                 return "not a host name or address";
             c.brokerHost = host;
             return {};
         }},
        {"broker/port", "TGW_BROKER_PORT",
         [](Config& c, const QString& v, const QString&) -> QString {
             const auto n = parseInteger(v);
             if (!n || *n < 1 || *n > 65535) return "not a port number (1-65535)";
             c.brokerPort = static_cast<uint16_t>(*n);
             return {};
         }},
        {"broker/ca_file", "TGW_CA_FILE",
         [](Config& c, const QString& v, const QString& baseDir) -> QString {
             if (v.trimmed().isEmpty()) {  // an empty value switches an earlier file off
                 c.caFile.clear();
                 return {};
             }
             const QString path = QDir(baseDir).absoluteFilePath(v.trimmed());
             QFile file(path);
             if (!file.open(QIODevice::ReadOnly))
                 return "cannot be read (" + file.errorString() + ")";
             // Only the PEM frame is looked at here: the TLS backend is not
             // loaded before the application object exists.
             const QByteArray pem = file.read(4 << 20);
             const qsizetype begin = pem.indexOf("-----BEGIN CERTIFICATE-----");
             if (begin < 0 || pem.indexOf("-----END CERTIFICATE-----", begin) < 0)
                 return "holds no PEM certificate";
             c.caFile = path;
             return {};
         }},
        {"broker/username", nullptr,
         [](Config& c, const QString& v, const QString&) -> QString {
             if (v.isEmpty()) return "empty";
             if (v.toUtf8().size() > 65535) return "longer than 65535 bytes";
             c.brokerUsername = v;
             return {};
         }},
        {"broker/password", nullptr,
         [](Config& c, const QString& v, const QString&) -> QString {
             if (v.toUtf8().size() > 65535) return "longer than 65535 bytes";
             c.brokerPassword = v;
             return {};
         }},
        {"web/url", "TGW_WEB_URL",
         [](Config& c, const QString& v, const QString&) -> QString {
             const QUrl url(v.trimmed(), QUrl::StrictMode);
             if (!url.isValid() || url.scheme() != "https" || url.host().isEmpty())
                 return "not an https:// address";
             QString base = v.trimmed();
             while (base.endsWith('/')) base.chop(1);
             c.webUrl = base;
             return {};
         }},
        {"log/level", nullptr,
         [](Config& c, const QString& v, const QString&) -> QString {
             const auto level = parseLogLevel(v);
             if (!level) return "not one of debug, info, warning, error";
             c.logLevel = *level;
             return {};
         }},
        {"presence/enabled", "TGW_PRESENCE_ENABLED", flag(&Config::presenceEnabled)},
        {"devices/identify_on_attach", "TGW_IDENTIFY_ON_ATTACH", flag(&Config::identifyOnAttach)},
        {"limits/login_timeout", nullptr, seconds(&Limits::loginTimeout)},
        {"limits/connect_timeout", nullptr, seconds(&Limits::connectTimeout)},
        {"limits/tool_time_limit", nullptr, seconds(&Limits::toolTimeLimit)},
        {"limits/max_packet", nullptr, bytes(&Limits::maxIncomingPacket, 1LL << 10, 256LL << 20)},
        {"limits/outbound_bytes", nullptr, bytes(&Limits::maxOutboundBytes, 64LL << 10, 4LL << 30)},
        {"limits/tool_output_cap", nullptr,
         bytes(&Limits::toolOutputCap, 1LL << 10, static_cast<long long>(kMaxToolOutputCap))},
        {"limits/concurrent_queries", nullptr, count(&Limits::maxConcurrentQueries, 64)},
        {"limits/waiting_queries", nullptr, count(&Limits::maxWaitingQueries, 100000)},
        {"limits/concurrent_reads", nullptr, count(&Limits::maxConcurrentReads, 64)},
    };
    return table;
}

const Key* findKey(const QString& name) {
    for (const Key& key : keyTable()) {
        if (name == key.name) return &key;
    }
    return nullptr;
}

// Limits that are each acceptable but do not fit together.
void checkLimits(ConfigResult& result) {
    const Limits& l = result.config.limits;
    const size_t needed = l.toolOutputCap + kResultEnvelope;
    if (l.maxOutboundBytes < needed) {
        result.errors << QString(
                             "%1: limits/outbound_bytes = \"%2\": cannot hold one result "
                             "of limits/tool_output_cap (%3 bytes); at least %4 is needed")
                             .arg(result.config.origins["limits/outbound_bytes"])
                             .arg(l.maxOutboundBytes)
                             .arg(l.toolOutputCap)
                             .arg(needed);
    }
}

Config defaults() {
    Config c;
    c.brokerHost = TGW_DEFAULT_BROKER_HOST;
    c.brokerPort = TGW_DEFAULT_BROKER_PORT;
    c.brokerUsername = kBuiltInBrokerUsername;
    c.brokerPassword = kBuiltInBrokerPassword;
    c.webUrl = TGW_DEFAULT_WEB_URL;
    while (c.webUrl.endsWith('/')) c.webUrl.chop(1);
    for (const Key& key : keyTable()) c.origins[key.name] = kDefaultOrigin;
    return c;
}

void applyValue(ConfigResult& result, const Key& key, const QString& value, const QString& origin,
                const QString& baseDir) {
    const QString why = key.apply(result.config, value, baseDir);
    if (why.isEmpty()) {
        result.config.origins[key.name] = origin;
    } else {
        result.errors << QString("%1: %2 = \"%3\": %4").arg(origin, key.name, value, why);
    }
}

void readFile(ConfigResult& result, const QString& path, bool mustExist) {
    const QFileInfo info(path);
    if (!info.exists()) {
        if (mustExist) result.errors << path + ": no such file";
        return;
    }
    if (!info.isFile() || !info.isReadable()) {
        result.errors << path + ": cannot be read";
        return;
    }
    QSettings file(path, QSettings::IniFormat);
    const QStringList names = file.allKeys();
    if (file.status() != QSettings::NoError) {
        // The usual slip: comments begun with "#", which this format does not know.
        QFile text(path);
        const bool hashComments = text.open(QIODevice::ReadOnly) &&
                                  QString::fromUtf8(text.readAll())
                                      .contains(QRegularExpression(QStringLiteral("(^|\\n)\\s*#")));
        result.errors << path + ": not an INI file" +
                             (hashComments
                                  ? QStringLiteral(" (comments start with \";\", not \"#\")")
                                  : QString());
        return;
    }
    for (const QString& name : names) {
        const Key* key = findKey(name);
        if (!key) {
            result.unknownKeys << path + ": " + name;
            continue;
        }
        // QSettings splits a value at unquoted commas; put it back together.
        const QVariant raw = file.value(name);
        const QString value =
            raw.typeId() == QMetaType::QStringList ? raw.toStringList().join(',') : raw.toString();
        applyValue(result, *key, value, path, info.absolutePath());
    }
}

}  // namespace

const char* toString(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return "debug";
        case LogLevel::info: return "info";
        case LogLevel::warning: return "warning";
        case LogLevel::error: return "error";
    }
    return "info";
}

std::optional<LogLevel> parseLogLevel(const QString& text) {
    for (LogLevel level : {LogLevel::debug, LogLevel::info, LogLevel::warning, LogLevel::error}) {
        if (text.trimmed().compare(toString(level), Qt::CaseInsensitive) == 0) return level;
    }
    return std::nullopt;
}

const QStringList& Config::keys() {
    static const QStringList names = [] {
        QStringList list;
        for (const Key& key : keyTable()) list << key.name;
        return list;
    }();
    return names;
}

QStringList Config::describe() const {
    auto seconds = [](std::chrono::milliseconds ms) {
        return QString::number(std::chrono::duration_cast<std::chrono::seconds>(ms).count());
    };
    const std::map<QString, QString> values{
        {"broker/host", brokerHost},
        {"broker/port", QString::number(brokerPort)},
        {"broker/ca_file", caFile},
        {"broker/username", brokerUsername},
        {"broker/password", brokerPassword.isEmpty() ? QString() : QString("********")},
        {"web/url", webUrl},
        {"log/level", toString(logLevel)},
        {"presence/enabled", presenceEnabled ? "true" : "false"},
        {"devices/identify_on_attach", identifyOnAttach ? "true" : "false"},
        {"limits/login_timeout", seconds(limits.loginTimeout)},
        {"limits/connect_timeout", seconds(limits.connectTimeout)},
        {"limits/tool_time_limit", seconds(limits.toolTimeLimit)},
        {"limits/max_packet", QString::number(limits.maxIncomingPacket)},
        {"limits/outbound_bytes", QString::number(limits.maxOutboundBytes)},
        {"limits/tool_output_cap", QString::number(limits.toolOutputCap)},
        {"limits/concurrent_queries", QString::number(limits.maxConcurrentQueries)},
        {"limits/waiting_queries", QString::number(limits.maxWaitingQueries)},
        {"limits/concurrent_reads", QString::number(limits.maxConcurrentReads)},
    };
    QStringList lines;
    for (const QString& key : keys()) {
        const auto origin = origins.find(key);
        lines << QString("%1 = %2  (%3)")
                     .arg(key, values.at(key),
                          origin == origins.end() ? QString(kDefaultOrigin) : origin->second);
    }
    return lines;
}

Config Config::builtIn() {
    return defaults();
}

ConfigSources ConfigSources::standard() {
    ConfigSources sources;
    const QString system = qEnvironmentVariable("TGW_SYSTEM_CONFIG");
    sources.systemFile = system.isEmpty() ? QString(kSystemFile) : system;
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + "/.config";
    sources.userFile = base + "/tgw-mobile-tool/agent.conf";
    return sources;
}

ConfigResult loadConfig(const ConfigSources& sources) {
    ConfigResult result{defaults(), {}, {}};
    if (!sources.systemFile.isEmpty()) readFile(result, sources.systemFile, false);
    if (sources.configFile) {
        readFile(result, *sources.configFile, true);
    } else if (!sources.userFile.isEmpty()) {
        readFile(result, sources.userFile, false);
    }
    if (sources.readEnvironment) {
        for (const Key& key : keyTable()) {
            if (!key.environment) continue;
            const QString value = qEnvironmentVariable(key.environment);
            if (value.isEmpty()) continue;
            applyValue(result, key, value, QString("environment ") + key.environment,
                       QDir::currentPath());
        }
    }
    if (sources.logLevelOption) {
        applyValue(result, *findKey("log/level"), *sources.logLevelOption, "option --log-level",
                   {});
    }
    checkLimits(result);
    return result;
}

}  // namespace tgw::app
