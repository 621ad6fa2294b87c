// The agent: the command line and the configuration first (no display needed
// for --help, --version, --print-config or a configuration error), then one
// instance per user, one controller, one login window, the event loop.
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/config/config.h"
#include "common/console.h"
#include "common/diagnostics.h"
#include "common/log_handler.h"
#include "mqtt/codec/logger.h"
#include "process/process.h"
#include "ui/desktop.h"
#include "ui/single_instance.h"
#include "ui/status_query.h"
#include "ui/terminal.h"

namespace {

using tgw::app::LogLevel;
using tgw::ui::printTo;

// Keeps passwords out of core files and away from other processes of the
// same user that would read this one's memory.
void harden() {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

// The login's password passes through buffers of Qt's HTTP stack and of the
// TLS socket that are freed without being cleared. With the C library told to
// overwrite freed memory and to keep no per-thread caches of freed blocks
// (which it would not overwrite), nothing of it stays in the heap. The library
// reads these settings only when a program starts: the agent starts itself
// once more with them, then puts the environment back as it was, so the tools
// it runs see the environment it was given. It starts its file by the file's
// own path, with the arguments as they were: what ps, top and pgrep show as
// the process's name is the name of the file last started (through
// /proc/self/exe that would be "exe").
constexpr const char* kScrubbed = "TGW_FREED_MEMORY_SCRUBBED";

void scrubFreedMemory(char** argv) {
    if (const char* original = std::getenv(kScrubbed)) {
        // "=" + the original setting, or "-" when there was none.
        if (original[0] == '=')
            setenv("GLIBC_TUNABLES", original + 1, 1);
        else
            unsetenv("GLIBC_TUNABLES");
        unsetenv(kScrubbed);
        return;
    }
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    const std::string original = tunables ? "=" + std::string(tunables) : "-";
    std::string scrubbing = "glibc.malloc.tcache_count=0:glibc.malloc.perturb=165";
    if (tunables && *tunables) scrubbing = std::string(tunables) + ":" + scrubbing;
    setenv(kScrubbed, original.c_str(), 1);
    setenv("GLIBC_TUNABLES", scrubbing.c_str(), 1);
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        execv(self, argv);
    }
    execv("/proc/self/exe", argv);  // the file was moved or replaced meanwhile
    // Could not start again: go on as we are, with the environment as given.
    if (tunables)
        setenv("GLIBC_TUNABLES", tunables, 1);
    else
        unsetenv("GLIBC_TUNABLES");
    unsetenv(kScrubbed);
}

int fail(const QString& line) {
    tgw::ui::printError(line);
    return tgw::ui::kStartError;
}

void applyLogLevel(LogLevel level) {
    using tgw::mqtt::MqttLogger;
    using tgw::mqtt::MqttLoggerLevel;
    switch (level) {
        case LogLevel::debug:
            tgw::setDiagnosticLevel(QtDebugMsg);
            MqttLogger::logger().setMinLevel(MqttLoggerLevel::debug);
            break;
        case LogLevel::info:
            tgw::setDiagnosticLevel(QtInfoMsg);
            MqttLogger::logger().setMinLevel(MqttLoggerLevel::warning);
            break;
        case LogLevel::warning:
            tgw::setDiagnosticLevel(QtWarningMsg);
            MqttLogger::logger().setMinLevel(MqttLoggerLevel::warning);
            break;
        case LogLevel::error:
            tgw::setDiagnosticLevel(QtCriticalMsg);
            MqttLogger::logger().setMinLevel(MqttLoggerLevel::error);
            break;
    }
}

}  // namespace

// A fixed threshold for taking large blocks (a tool's output, a result) from
// the system rather than the heap, so that each goes back to the system when
// freed. The C library would otherwise raise it to the largest block freed so
// far, and blocks that large would then stay in the heap once freed, resident,
// since freed memory is overwritten.
void returnLargeBlocks() {
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

int main(int argc, char** argv) {
    scrubFreedMemory(argv);
    returnLargeBlocks();
    harden();
    tgw::installLogHandler();
    QCoreApplication::setApplicationName(QStringLiteral("tgw-mobile-tool"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TGW_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Lets the web service read information from a phone attached by USB.\n"
        "Settings, later wins: built-in defaults, /etc/tgw-mobile-tool/agent.conf,\n"
        "$XDG_CONFIG_HOME/tgw-mobile-tool/agent.conf (or --config FILE instead),\n"
        "the TGW_* environment variables, these options.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption config("config", "Read FILE instead of the user's configuration file.",
                                    "FILE");
    const QCommandLineOption logLevel(
        "log-level", "Diagnostic log level: debug, info, warning or error.", "LEVEL");
    const QCommandLineOption printConfig(
        "print-config", "Print the effective settings and where each came from, then exit.");
    const QCommandLineOption hidden(
        "hidden", "Start in the system tray without the window; it appears when needed.");
    const QCommandLineOption status(
        "status",
        "Print the state of the agent running for this user, then exit. Exit status: 0 "
        "connected, 3 running but not connected, 4 none running.");
    const QCommandLineOption json("json", "With --status: print one JSON object.");
    parser.addOptions({config, logLevel, printConfig, hidden, status, json});

    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments)) {
        return fail(parser.errorText() + " (see --help)");
    }
    if (parser.isSet(help) || parser.isSet("help-all")) {
        QCoreApplication application(argc, argv);  // for the program's name in the usage line
        printTo(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        printTo(stdout, QString("tgw-mobile-tool %1 (Qt %2)\n").arg(TGW_VERSION, qVersion()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return fail("unexpected argument \"" + parser.positionalArguments().first() +
                    "\" (see --help)");
    }

    if (parser.isSet(status)) {
        return tgw::ui::printStatus(tgw::ui::SingleInstance().socketPath(), parser.isSet(json));
    }
    if (parser.isSet(json)) return fail("--json goes with --status (see --help)");

    tgw::app::ConfigSources sources = tgw::app::ConfigSources::standard();
    if (parser.isSet(config)) sources.configFile = parser.value(config);
    if (parser.isSet(logLevel)) sources.logLevelOption = parser.value(logLevel);
    const tgw::app::ConfigResult loaded = tgw::app::loadConfig(sources);
    if (!loaded.errors.isEmpty())
        return tgw::ui::reportStartError(argc, argv, loaded.errors.first());
    applyLogLevel(loaded.config.logLevel);
    for (const QString& unknown : loaded.unknownKeys) {
        qCWarning(lcConfig).noquote() << "unknown setting ignored:" << unknown;
    }
    if (parser.isSet(printConfig)) {
        printTo(stdout, loaded.config.describe().join('\n') + '\n');
        return 0;
    }

    if (const QString why = tgw::ui::missingDisplay(); !why.isEmpty()) return fail(why);

    tgw::ui::SingleInstance instance;
    switch (instance.claim()) {
        case tgw::ui::SingleInstance::Claim::first: break;
        case tgw::ui::SingleInstance::Claim::handedOver:
            tgw::writeConsoleLine("tgw-mobile-tool is already running; its window was raised");
            return 0;
        case tgw::ui::SingleInstance::Claim::failed:
            tgw::ui::printError("another instance holds " + instance.lockPath() +
                                " but does not answer");
            return 1;
    }
    tgw::process::endOrphanedLaunches(instance.folder());

    for (const QString& line : loaded.config.describe()) qCDebug(lcConfig).noquote() << line;
    qCInfo(lcConfig).noquote() << "broker"
                               << loaded.config.brokerHost + ":" +
                                      QString::number(loaded.config.brokerPort)
                               << "web service" << loaded.config.webUrl;

    return tgw::ui::runDesktop(argc, argv, loaded.config, instance,
                               {.hidden = parser.isSet(hidden)});
}
