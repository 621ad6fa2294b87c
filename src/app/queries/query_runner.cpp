#include "app/queries/query_runner.h"

#include <QTimer>
#include <algorithm>

#include "app/queries/collection_buffer.h"
#include "app/queries/console_text.h"
#include "common/console.h"
#include "common/diagnostics.h"
#include "process/process.h"

namespace tgw::app {

namespace {

// One kind of device query: which tool runs with which arguments, what ends
// its collection, how its result is labelled, and what the console shows.
struct Query {
    enum class Echo { none, wholeText, eachPiece };
    enum class Termination { silent, status, errorThenStatus };

    const char* resource;
    const char* tool;  // the program that does the work, for error texts
    QStringList arguments;
    MarkerSet markers;
    const char* type;
    const char* action;
    Echo echo;
    Termination termination;
};

const Query& queryOf(QueryKind kind) {
    static const Query androidProperties{"adb",
                                         "adb",
                                         {"shell", "getprop", "&& echo \"<DONE>\";"},
                                         MarkerSet::android,
                                         "android",
                                         "data",
                                         Query::Echo::wholeText,
                                         Query::Termination::status};
    static const Query androidImei{
        "adb",
        "adb",
        {"shell", "service", "call", "iphonesubinfo", "1", "&& echo \"<DONE>\";"},
        MarkerSet::android,
        "android",
        "imei",
        Query::Echo::none,
        Query::Termination::silent};
    static const Query appleDiagnostics{"run.sh",
                                        "idevicediagnostics",
                                        {"/usr/local/bin/idevicediagnostics diagnostics All"},
                                        MarkerSet::apple,
                                        "apple",
                                        "",
                                        Query::Echo::none,
                                        Query::Termination::silent};
    static const Query appleInfo{"run.sh",
                                 "ideviceinfo",
                                 {"/usr/local/bin/ideviceinfo -x"},
                                 MarkerSet::apple,
                                 "apple",
                                 "",
                                 Query::Echo::eachPiece,
                                 Query::Termination::errorThenStatus};
    switch (kind) {
        case QueryKind::androidProperties: return androidProperties;
        case QueryKind::androidImei: return androidImei;
        case QueryKind::appleDiagnostics: return appleDiagnostics;
        case QueryKind::appleInfo: return appleInfo;
    }
    return appleInfo;
}

// `text` cut to at most `bytes` bytes, never inside a UTF-8 sequence.
std::string cutUtf8(std::string text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::string sizeText(size_t bytes) {
    if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

std::string durationText(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

}  // namespace

// One query of one command, from the command's arrival until its tool ended.
struct QueryRunner::Running {
    uint64_t id = 0;
    const Query* query = nullptr;
    QStringList arguments;
    std::string prefix;  // the account whose command started it
    std::optional<std::string> serial;
    std::optional<std::string> udid;
    CollectionBuffer buffer;
    bool answered = false;  // a result has been sent
    bool closed = false;    // cut or timed out: later output is not collected
    std::shared_ptr<process::Process> process;
    QTimer timeLimit;

    void stopTool() {
        if (process) process->stop();
    }
};

QueryRunner::QueryRunner(const Limits& limits, const process::Bundle* bundle, Sink sink)
    : m_limits(limits),
      m_bundle(bundle),
      m_sink(std::move(sink)),
      m_self(std::make_shared<QueryRunner*>(this)) {}

QueryRunner::~QueryRunner() {
    *m_self = nullptr;
}

MqttApi QueryRunner::resultOf(QueryKind kind, std::string data, const MqttApi& command) {
    const Query& q = queryOf(kind);
    MqttApi result{q.type, std::move(data), q.action};
    if (q.markers == MarkerSet::android) result.serial = command.serial;
    if (q.markers == MarkerSet::apple) result.udid = command.udid;
    return result;
}

void QueryRunner::enqueue(QueryKind kind, const MqttApi& command, const std::string& prefix) {
    const Query& query = queryOf(kind);
    const size_t concurrent = static_cast<size_t>(std::max(1, m_limits.maxConcurrentQueries));
    if (m_running.size() >= concurrent &&
        m_waiting.size() >= static_cast<size_t>(std::max(1, m_limits.maxWaitingQueries))) {
        // A flood of commands must not grow the agent without bound, and every
        // command is answered: beyond the bound, at once.
        if (!m_overflowing) {
            qCWarning(lcTools) << m_waiting.size()
                               << "queries wait already; further ones are answered with an error";
        }
        m_overflowing = true;
        m_sink(prefix, resultOf(kind, "error: too many queries waiting", command).encode());
        return;
    }
    m_overflowing = false;
    auto q = std::make_unique<Running>();
    q->id = ++m_count;
    q->query = &query;
    q->arguments = query.arguments;
    q->prefix = prefix;
    if (query.markers == MarkerSet::android && command.serial) {
        q->serial = command.serial;
        q->arguments = QStringList{"-s", QString::fromStdString(*command.serial)} + q->arguments;
    } else if (query.markers == MarkerSet::apple && command.udid) {
        // run.sh splits its one argument on blanks: the option goes after the tool's path.
        q->udid = command.udid;
        QString line = q->arguments.front();
        line.insert(line.indexOf(' '), " -u " + QString::fromStdString(*command.udid));
        q->arguments.front() = line;
    }
    m_waiting.push_back(std::move(q));
    launchWaiting();
}

void QueryRunner::cancelAll() {
    m_waiting.clear();
    for (auto& [id, query] : m_running) {
        query->closed = true;
        query->answered = true;  // nothing of it is sent any more
        query->stopTool();
    }
}

void QueryRunner::stopAll() {
    m_waiting.clear();
    for (auto& [id, query] : m_running) {
        query->closed = true;
        query->stopTool();
    }
    process::stopAllProcesses();
}

void QueryRunner::launchWaiting() {
    const size_t concurrent = static_cast<size_t>(std::max(1, m_limits.maxConcurrentQueries));
    while (!m_waiting.empty() && m_running.size() < concurrent) {
        std::unique_ptr<Running> q = std::move(m_waiting.front());
        m_waiting.pop_front();
        if (q->prefix != m_account) {
            writeConsoleLine("query dropped: its account is no longer the one logged in");
            continue;
        }
        Running& query = *q;
        m_running.emplace(q->id, std::move(q));
        launch(query);
    }
}

void QueryRunner::launch(Running& q) {
    const Query& query = *q.query;
    const uint64_t id = q.id;
    std::weak_ptr<QueryRunner*> self = m_self;
    try {
        q.process = process::Process::initWith(query.resource, m_bundle);
        q.process->setArguments(q.arguments);
        q.timeLimit.setSingleShot(true);
        QObject::connect(&q.timeLimit, &QTimer::timeout, &m_context,
                         [this, id] { toolTimedOut(id); });
        q.timeLimit.start(m_limits.toolTimeLimit);
        q.process->sd().launchAsyncWith(
            false,
            [self, id](const std::string& piece, process::ProcessInput*) {
                if (auto s = self.lock(); s && *s) (*s)->collect(id, piece);
            },
            nullptr,
            [self, id](int32_t status) {
                if (auto s = self.lock(); s && *s) (*s)->toolEnded(id, status);
            });
    } catch (const process::SlarderError& e) {
        // No tool, no answer: tell the web service rather than leave it waiting.
        writeConsoleLine(e.description());
        q.closed = true;
        answer(q, "error: " + e.description());
        m_running.erase(id);  // launchWaiting() goes on with the next
    }
}

void QueryRunner::collect(uint64_t id, const std::string& piece) {
    const auto it = m_running.find(id);
    if (it == m_running.end() || it->second->closed) return;
    Running& q = *it->second;
    const Query& query = *q.query;
    q.buffer.append(piece);
    if (query.echo == Query::Echo::eachPiece) writeConsoleLine(consoleQuote(piece));
    const size_t cap = m_limits.toolOutputCap;
    if (q.answered) {
        // Each query is answered once; what follows is only reported when the tool ends.
        if (q.buffer.text().size() > cap) {
            q.closed = true;
            q.stopTool();
        }
        return;
    }
    if (q.buffer.text().size() > cap) {
        q.closed = true;
        q.stopTool();
        qCWarning(lcTools) << query.tool << "wrote more than" << cap << "bytes; stopped";
        answer(q, "error: " + std::string(query.tool) + " wrote more than " + sizeText(cap) +
                      "; the output was cut\n" + cutUtf8(q.buffer.take(), cap));
        return;
    }
    if (!q.buffer.containsAny(query.markers)) return;
    if (query.echo == Query::Echo::wholeText) writeConsoleLine(consoleQuote(q.buffer.text()));
    answer(q, q.buffer.take());
}

void QueryRunner::toolTimedOut(uint64_t id) {
    const auto it = m_running.find(id);
    if (it == m_running.end() || it->second->closed) return;
    Running& q = *it->second;
    q.closed = true;
    q.stopTool();
    if (q.answered) return;  // answered already, then hung: only stopped
    const std::string limit = durationText(m_limits.toolTimeLimit);
    qCWarning(lcTools) << q.query->tool << "did not finish within" << limit.c_str() << "; stopped";
    const std::string text = q.buffer.take();
    answer(q, "error: " + std::string(q.query->tool) + " did not finish within " + limit +
                  (text.empty() ? "" : "\n" + text));
}

void QueryRunner::toolEnded(uint64_t id, int32_t status) {
    const auto it = m_running.find(id);
    if (it == m_running.end()) return;
    Running& q = *it->second;
    if (q.query->termination != Query::Termination::silent) {
        if (q.query->termination == Query::Termination::errorThenStatus) {
            writeConsoleLine("errorrr???");
        }
        writeConsoleLine(std::to_string(status));
    }
    if (!q.closed && !q.answered) {
        // Ended without a completion text: what it wrote may be cut anywhere (a
        // phone unplugged mid-answer leaves adb's shell exiting 0), so the
        // answer says so before the text.
        writeConsoleLine(std::string(q.query->tool) + " ended without a completion text");
        const std::string text = q.buffer.take();
        answer(q, "error: " + std::string(q.query->tool) + " ended before the end marker" +
                      (text.empty() ? "" : "\n" + text));
    } else if (!q.closed && !q.buffer.text().empty()) {
        writeConsoleLine("output after the result dropped: " + consoleQuote(q.buffer.text()));
    }
    q.timeLimit.stop();
    m_running.erase(it);
    launchWaiting();
}

void QueryRunner::answer(Running& q, std::string data) {
    if (q.answered) return;
    q.answered = true;
    std::string encoded =
        MqttApi{q.query->type, std::move(data), q.query->action, q.serial, q.udid}.encode();
    // Escaping can grow text sixfold (control bytes): a result that would not
    // fit the outbound bound says so rather than being refused unseen.
    if (encoded.size() + kResultEnvelope > m_limits.maxOutboundBytes) {
        qCWarning(lcTools) << q.query->tool << "result of" << encoded.size()
                           << "bytes is too large to send";
        const std::string error = "error: the result of " + std::string(q.query->tool) +
                                  " is too large to send (" + std::to_string(encoded.size()) +
                                  " bytes)";
        encoded = MqttApi{q.query->type, error, q.query->action, q.serial, q.udid}.encode();
    }
    m_sink(q.prefix, std::move(encoded));
}

}  // namespace tgw::app
