#include "app/queries/query_runner.h"

#include <algorithm>

#include "app/queries/console_text.h"
#include "app/queries/phone_read.h"
#include "app/tools/tool_run.h"
#include "common/console.h"
#include "common/diagnostics.h"

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
    static const Query androidBattery{"adb",
                                      "adb",
                                      {"shell", "dumpsys", "battery", "&& echo \"<DONE>\";"},
                                      MarkerSet::android,
                                      "android",
                                      "battery",
                                      Query::Echo::none,
                                      Query::Termination::silent};
    static const Query appleBatteryHealth{
        "run.sh",
        "idevicediagnostics",
        {"/usr/local/bin/idevicediagnostics ioregentry AppleSmartBattery"},
        MarkerSet::apple,
        "apple",
        "battery-health",
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
        case QueryKind::androidBattery: return androidBattery;
        case QueryKind::appleBatteryHealth: return appleBatteryHealth;
        case QueryKind::appleDiagnostics: return appleDiagnostics;
        case QueryKind::appleInfo: return appleInfo;
    }
    return appleInfo;
}

}  // namespace

// One query of one command, from the command's arrival until its tool ended:
// a tool's query, or the identity read of one phone.
struct QueryRunner::Running {
    uint64_t id = 0;
    const Query* query = nullptr;     // none for an identity read
    std::optional<DeviceInfo> phone;  // the phone an identity read is of
    std::unique_ptr<PhoneRead> read;
    std::function<void(PhoneIdentity)> readDone;  // where the identity goes instead of the sink
    std::optional<std::string> requestId;         // the command's "id"
    QStringList arguments;
    std::string prefix;  // the account whose command started it
    std::optional<std::string> serial;
    std::optional<std::string> udid;
    std::unique_ptr<ToolRun> run;
};

QueryRunner::QueryRunner(const Limits& limits, const process::Bundle* bundle, Sink sink)
    : m_limits(limits), m_bundle(bundle), m_sink(std::move(sink)) {}

QueryRunner::~QueryRunner() = default;

MqttApi QueryRunner::resultOf(QueryKind kind, std::string data, const MqttApi& command) {
    const Query& q = queryOf(kind);
    MqttApi result{q.type, std::move(data), q.action};
    if (q.markers == MarkerSet::android) result.serial = command.serial;
    if (q.markers == MarkerSet::apple) result.udid = command.udid;
    result.id = command.id;
    return result;
}

bool QueryRunner::admit(const std::string& prefix, const std::function<std::string()>& overflow) {
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
        if (std::string answer = overflow(); !answer.empty()) m_sink(prefix, std::move(answer));
        return false;
    }
    m_overflowing = false;
    return true;
}

void QueryRunner::enqueueIdentity(const DeviceInfo& phone, const MqttApi& command,
                                  const std::string& prefix) {
    const bool apple = phone.platform == DeviceInfo::Platform::apple;
    const auto overflow = [&] {
        MqttApi result{"identity", "error: too many queries waiting"};
        (apple ? result.udid : result.serial) = phone.id.toStdString();
        result.id = command.id;
        return result.encode();
    };
    if (!admit(prefix, overflow)) return;
    auto q = std::make_unique<Running>();
    q->id = ++m_count;
    q->phone = phone;
    q->prefix = prefix;
    q->requestId = command.id;
    m_waiting.push_back(std::move(q));
    launchWaiting();
}

void QueryRunner::enqueueRead(const DeviceInfo& phone, const std::string& prefix,
                              std::function<void(PhoneIdentity)> done) {
    if (!admit(prefix, [] { return std::string(); })) return;
    auto q = std::make_unique<Running>();
    q->id = ++m_count;
    q->phone = phone;
    q->prefix = prefix;
    q->readDone = std::move(done);
    m_waiting.push_back(std::move(q));
    launchWaiting();
}

void QueryRunner::enqueue(QueryKind kind, const MqttApi& command, const std::string& prefix) {
    const Query& query = queryOf(kind);
    const auto overflow = [&] {
        return resultOf(kind, "error: too many queries waiting", command).encode();
    };
    if (!admit(prefix, overflow)) return;
    auto q = std::make_unique<Running>();
    q->id = ++m_count;
    q->query = &query;
    q->arguments = query.arguments;
    q->prefix = prefix;
    q->requestId = command.id;
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
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (it->second->read) {
            it = m_running.erase(it);  // its tool is stopped with it
        } else {
            it->second->run->cancel();  // nothing of it is sent any more
            ++it;
        }
    }
}

void QueryRunner::stopAll() {
    cancelAll();
    ToolRun::stopAll();
}

void QueryRunner::launchWaiting() {
    // Tool queries and phone reads have a bound each: the reads of different
    // phones do not wait for each other's tools, and a desk full of phones
    // does not hold the web service's tool queries up. Each kind keeps its order.
    const size_t bound[2] = {static_cast<size_t>(std::max(1, m_limits.maxConcurrentQueries)),
                             static_cast<size_t>(std::max(1, m_limits.maxConcurrentReads))};
    size_t running[2] = {0, 0};
    for (const auto& [id, q] : m_running) ++running[q->phone ? 1 : 0];
    bool full[2] = {running[0] >= bound[0], running[1] >= bound[1]};
    for (size_t i = 0; i < m_waiting.size() && !(full[0] && full[1]);) {
        const int kind = m_waiting[i]->phone ? 1 : 0;
        if (m_waiting[i]->prefix != m_account) {
            m_waiting.erase(m_waiting.begin() + std::ptrdiff_t(i));
            writeConsoleLine("query dropped: its account is no longer the one logged in");
            continue;
        }
        if (full[kind]) {
            ++i;
            continue;
        }
        std::unique_ptr<Running> q = std::move(m_waiting[i]);
        m_waiting.erase(m_waiting.begin() + std::ptrdiff_t(i));
        full[kind] = ++running[kind] >= bound[kind];
        Running& query = *q;
        m_running.emplace(q->id, std::move(q));
        // A tool that cannot start is answered inside launch(); this loop goes on.
        const bool launching = std::exchange(m_launching, true);
        launch(query);
        m_launching = launching;
        // An answer inside may have freed a place.
        running[0] = running[1] = 0;
        for (const auto& [id, r] : m_running) ++running[r->phone ? 1 : 0];
        full[0] = running[0] >= bound[0];
        full[1] = running[1] >= bound[1];
    }
}

void QueryRunner::launch(Running& q) {
    const uint64_t id = q.id;
    if (q.phone) {
        q.read = std::make_unique<PhoneRead>(
            *q.phone, m_limits, m_bundle,
            [this, id](PhoneIdentity identity) { identityRead(id, std::move(identity)); });
        q.read->start();  // may answer, and so end `q`, inside
        return;
    }
    const Query& query = *q.query;
    ToolRun::Job job{query.resource,
                     m_bundle,
                     {},
                     q.arguments,
                     query.tool,
                     query.markers,
                     m_limits.toolTimeLimit,
                     m_limits.toolOutputCap};
    ToolRun::Handlers handlers;
    if (query.echo == Query::Echo::eachPiece)
        handlers.piece = [](const std::string& piece) { writeConsoleLine(consoleQuote(piece)); };
    handlers.result = [this, id](ToolRun::Result result) { resultReady(id, std::move(result)); };
    handlers.ended = [this, id](int32_t status, const std::string& unread) {
        toolEnded(id, status, unread);
    };
    q.run = std::make_unique<ToolRun>(std::move(job), std::move(handlers));
    q.run->start();
}

void QueryRunner::resultReady(uint64_t id, ToolRun::Result result) {
    const auto it = m_running.find(id);
    if (it == m_running.end()) return;
    Running& q = *it->second;
    switch (result.outcome) {
        case ToolRun::Outcome::completed:
            if (q.query->echo == Query::Echo::wholeText)
                writeConsoleLine(consoleQuote(result.output));
            break;
        case ToolRun::Outcome::notStarted:
            // No tool, no answer: tell the web service rather than leave it waiting.
            writeConsoleLine(result.error.substr(std::string_view("error: ").size()));
            break;
        case ToolRun::Outcome::endedEarly:
            writeConsoleLine(std::string(q.query->tool) + " ended without a completion text");
            break;
        default: break;
    }
    answer(q, result.takeData());
    releaseIfOver(it);
}

void QueryRunner::toolEnded(uint64_t id, int32_t status, const std::string& unread) {
    const auto it = m_running.find(id);
    if (it == m_running.end()) return;
    Running& q = *it->second;
    if (q.query->termination != Query::Termination::silent) {
        if (q.query->termination == Query::Termination::errorThenStatus) {
            writeConsoleLine("errorrr???");
        }
        writeConsoleLine(std::to_string(status));
    }
    if (!unread.empty())
        writeConsoleLine("output after the result dropped: " + consoleQuote(unread));
    releaseIfOver(it);
}

void QueryRunner::identityRead(uint64_t id, PhoneIdentity identity) {
    const auto it = m_running.find(id);
    if (it == m_running.end()) return;
    if (it->second->requestId) identity.requestId = QString::fromStdString(*it->second->requestId);
    const std::function<void(PhoneIdentity)> done = std::move(it->second->readDone);
    if (!done) m_sink(it->second->prefix, writeIdentity(identity));
    m_running.erase(it);  // the read's tools have ended
    if (done) done(std::move(identity));
    if (!m_launching) launchWaiting();
}

void QueryRunner::releaseIfOver(std::map<uint64_t, std::unique_ptr<Running>>::iterator it) {
    if (!it->second->run->isOver()) return;
    m_running.erase(it);
    if (!m_launching) launchWaiting();
}

void QueryRunner::answer(Running& q, std::string data) {
    std::string encoded =
        MqttApi{q.query->type, std::move(data), q.query->action, q.serial, q.udid, q.requestId}
            .encode();
    // Escaping can grow text sixfold (control bytes): a result that would not
    // fit the outbound bound says so rather than being refused unseen.
    if (encoded.size() + kResultEnvelope > m_limits.maxOutboundBytes) {
        qCWarning(lcTools) << q.query->tool << "result of" << encoded.size()
                           << "bytes is too large to send";
        const std::string error = "error: the result of " + std::string(q.query->tool) +
                                  " is too large to send (" + std::to_string(encoded.size()) +
                                  " bytes)";
        encoded =
            MqttApi{q.query->type, error, q.query->action, q.serial, q.udid, q.requestId}.encode();
    }
    m_sink(q.prefix, std::move(encoded));
}

}  // namespace tgw::app
