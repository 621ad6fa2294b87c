#include "common/log_handler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDateTime>
#include <QLoggingCategory>
#include <QString>
#include <cstdio>
#include <cstdlib>

#ifdef TGW_HAVE_JOURNAL
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#endif

namespace tgw {

namespace {

// Decided once in installLogHandler(), before other threads exist.
bool g_journal = false;
bool g_stderr = true;

const char* levelName(QtMsgType type) {
    switch (type) {
        case QtDebugMsg: return "debug";
        case QtInfoMsg: return "info";
        case QtWarningMsg: return "warning";
        case QtCriticalMsg: return "error";
        case QtFatalMsg: return "fatal";
    }
    return "info";
}

#ifdef TGW_HAVE_JOURNAL
int priority(QtMsgType type) {
    switch (type) {
        case QtDebugMsg: return LOG_DEBUG;
        case QtInfoMsg: return LOG_INFO;
        case QtWarningMsg: return LOG_WARNING;
        case QtCriticalMsg: return LOG_ERR;
        case QtFatalMsg: return LOG_CRIT;
    }
    return LOG_INFO;
}
#endif

// True when standard error already is a journal stream (a systemd unit or a
// desktop that hands its applications' output to the journal): then the
// journal entry alone is written, not a second copy through standard error.
bool stderrIsJournal() {
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    if (stream.isEmpty()) return false;
    struct stat st {};
    if (fstat(STDERR_FILENO, &st) != 0) return false;
    return stream ==
           QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const char* category = context.category ? context.category : "default";
    const QByteArray text = message.toUtf8();
    if (g_stderr) {
        const QByteArray line =
            QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toLatin1() + ' ' +
            levelName(type) + ' ' + category + ": " + text + '\n';
        fwrite(line.constData(), 1, size_t(line.size()), stderr);
        fflush(stderr);
    }
#ifdef TGW_HAVE_JOURNAL
    if (g_journal) {
        sd_journal_send("MESSAGE=%s", text.constData(), "PRIORITY=%d", priority(type),
                        "SYSLOG_IDENTIFIER=tgw-mobile-tool", "TGW_CATEGORY=%s", category, nullptr);
    }
#endif
    if (type == QtFatalMsg) std::abort();
}

}  // namespace

void installLogHandler() {
#ifdef TGW_HAVE_JOURNAL
    // A user session with a journal: systemd runs the machine and the session
    // has its runtime folder.
    g_journal = sd_booted() > 0 && access("/run/systemd/journal/socket", W_OK) == 0 &&
                qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
#endif
    g_stderr = !(g_journal && stderrIsJournal());
    qInstallMessageHandler(handle);
}

void setDiagnosticLevel(QtMsgType minimum) {
    // QtMsgType's values are not in order of severity.
    auto rank = [](QtMsgType type) {
        switch (type) {
            case QtDebugMsg: return 0;
            case QtInfoMsg: return 1;
            case QtWarningMsg: return 2;
            default: return 3;
        }
    };
    const int min = rank(minimum);
    QString rules;
    for (QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg}) {
        rules += QString("tgw.*.%1=%2\n")
                     .arg(type == QtCriticalMsg ? "critical" : levelName(type),
                          rank(type) >= min ? "true" : "false");
    }
    QLoggingCategory::setFilterRules(rules);
}

bool logsToJournal() {
    return g_journal;
}

}  // namespace tgw
