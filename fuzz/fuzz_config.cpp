// The configuration reader: an INI file (read with --config) and the values
// of the TGW_* variables and --log-level, separated by NUL bytes in the input
// in the order below. Reading never fails badly, keeps every setting it took
// within its range (sizes with their K, M and G suffixes included) and never
// shows the broker password.
#include <QByteArrayList>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/config/config.h"

namespace {

constexpr const char* kVariables[] = {"TGW_BROKER_HOST", "TGW_BROKER_PORT", "TGW_CA_FILE",
                                      "TGW_WEB_URL"};

bool within(size_t value, long long min, long long max) {
    return static_cast<long long>(value) >= min && static_cast<long long>(value) <= max;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tgw::app;
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // A CA file under /dev or /proc may be a terminal or a pipe that never ends.
    if (input.contains("dev/") || input.contains("proc/")) return 0;
    const QByteArrayList parts = input.split('\0');

    // Relative paths in the file resolve in its folder (the working folder
    // stays: libFuzzer reads its corpus through it). A new name each time,
    // since QSettings keeps what it parsed of a path for the process's life.
    static QTemporaryDir dir;
    static unsigned long long runs = 0;
    const QString path = dir.filePath(QString("agent-%1.conf").arg(++runs));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(parts[0]) != parts[0].size()) abort();
    file.close();

    for (qsizetype i = 0; i < qsizetype(std::size(kVariables)); ++i) {
        if (i + 1 < parts.size())
            setenv(kVariables[i], parts[i + 1].constData(), 1);
        else
            unsetenv(kVariables[i]);
    }
    ConfigSources sources;
    sources.configFile = path;
    if (parts.size() > 5) sources.logLevelOption = QString::fromUtf8(parts[5]);

    const ConfigResult result = loadConfig(sources);
    QFile::remove(path);

    const Config& c = result.config;
    const Limits& l = c.limits;
    if (!within(l.maxIncomingPacket, 1LL << 10, 256LL << 20) ||
        !within(l.maxOutboundBytes, 64LL << 10, 4LL << 30) ||
        !within(l.toolOutputCap, 1LL << 10, 1LL << 30) || l.maxConcurrentQueries < 1 ||
        l.maxConcurrentQueries > 64 || c.brokerPort == 0 || c.brokerHost.isEmpty() ||
        !c.webUrl.startsWith("https://", Qt::CaseInsensitive) || c.webUrl.endsWith('/'))
        __builtin_trap();
    for (const auto limit : {l.loginTimeout, l.connectTimeout, l.toolTimeLimit}) {
        if (limit < std::chrono::seconds(1) || limit > std::chrono::hours(24)) __builtin_trap();
    }
    const QStringList lines = c.describe();
    if (lines.size() != Config::keys().size()) __builtin_trap();
    for (const QString& line : lines) {
        if (line.startsWith("broker/password = ") && !line.startsWith("broker/password =   (") &&
            !line.startsWith("broker/password = ********  ("))
            __builtin_trap();
    }
    return 0;
}
