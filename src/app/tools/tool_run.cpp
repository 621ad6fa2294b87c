#include "app/tools/tool_run.h"

#include <QObject>
#include <QTimer>

#include "common/diagnostics.h"
#include "process/process.h"

namespace tgw::app {

namespace {

// Room a collection keeps beyond the output cap: the piece that crosses it
// (a pipe read is at most 64 KiB) and the error line put before a cut output.
constexpr size_t kRoomBeyondCap = 64 * 1024 + 1024;

// `text` cut to at most `bytes` bytes, never inside a UTF-8 sequence.
std::string cutUtf8(std::string text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

}  // namespace

std::string sizeText(size_t bytes) {
    if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

std::string durationText(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

std::string ToolRun::Result::takeData() {
    if (error.empty()) return std::move(output);
    if (output.empty()) return std::move(error);
    // In place: the output's room (see collect) holds the error line too.
    output.insert(0, error + '\n');
    return std::move(output);
}

// What the process callbacks reach through a weak pointer; the ToolRun holds
// the only strong one, and a handler call holds another while it runs, so the
// owner may destroy its ToolRun inside a handler.
struct ToolRun::State : std::enable_shared_from_this<ToolRun::State> {
    Job job;
    Handlers handlers;
    CollectionBuffer buffer;
    std::shared_ptr<process::Process> process;
    QObject context;  // receiver of the timers
    QTimer deadline;
    bool running = false;      // the process runs
    bool over = false;         // ended, or never started
    bool resultGiven = false;  // or cancelled: none is given any more
    bool closed = false;       // cut or timed out: output is no longer read
    bool detached = false;     // the ToolRun is gone

    void give(Result result) {
        if (resultGiven || detached) return;
        resultGiven = true;
        const std::shared_ptr<State> keep = shared_from_this();
        handlers.result(std::move(result));
    }

    void stopTool() {
        if (running) process->stop();
    }

    void collect(const std::string& piece) {
        if (closed || detached) return;
        const std::shared_ptr<State> keep = shared_from_this();
        // Room for the cap, one piece beyond it and an error line before it.
        buffer.append(piece, job.outputCap + kRoomBeyondCap);
        if (handlers.piece) {
            handlers.piece(piece);
            if (detached) return;
        }
        const size_t cap = job.outputCap;
        if (buffer.text().size() > cap) {
            closed = true;
            stopTool();
            if (resultGiven) return;  // answered already: only stopped
            qCWarning(lcTools) << job.tool.c_str() << "wrote more than" << cap << "bytes; stopped";
            give({Outcome::cut, -1,
                  "error: " + job.tool + " wrote more than " + sizeText(cap) +
                      "; the output was cut",
                  cutUtf8(buffer.take(), cap)});
            return;
        }
        if (resultGiven || !job.endMarker || !buffer.containsAny(*job.endMarker)) return;
        give({Outcome::completed, -1, {}, buffer.take()});
    }

    void timedOut() {
        if (closed || over || detached) return;
        closed = true;
        stopTool();
        if (resultGiven) return;  // answered already, then hung: only stopped
        const std::string limit = durationText(job.timeLimit);
        qCWarning(lcTools).noquote()
            << job.tool.c_str() << "did not finish within" << limit.c_str() << "; stopped";
        give({Outcome::timedOut, -1, "error: " + job.tool + " did not finish within " + limit,
              buffer.take()});
    }

    void processEnded(int32_t status) {
        running = false;
        over = true;
        deadline.stop();
        if (detached) return;
        const std::shared_ptr<State> keep = shared_from_this();
        const std::string unread = !closed && resultGiven ? buffer.take() : std::string();
        if (handlers.ended) {
            handlers.ended(status, unread);
            if (detached || resultGiven) return;
        }
        if (!job.endMarker) {
            give({Outcome::exited, status, {}, buffer.take()});
        } else {
            give({Outcome::endedEarly, status,
                  "error: " + job.tool + " ended before the end marker", buffer.take()});
        }
    }
};

ToolRun::ToolRun(Job job, Handlers handlers) : m_state(std::make_shared<State>()) {
    m_state->job = std::move(job);
    m_state->handlers = std::move(handlers);
    m_state->deadline.setSingleShot(true);
    State* state = m_state.get();
    QObject::connect(&state->deadline, &QTimer::timeout, &state->context, [state] {
        const std::shared_ptr<State> keep = state->shared_from_this();
        state->timedOut();
    });
}

ToolRun::~ToolRun() {
    m_state->detached = true;
    m_state->stopTool();
}

void ToolRun::start() {
    State& s = *m_state;
    if (s.process || s.over) return;
    try {
        s.process = s.job.resource.isEmpty()
                        ? process::Process::create()
                        : process::Process::initWith(s.job.resource, s.job.bundle);
        if (s.job.resource.isEmpty()) s.process->setLaunchPath(s.job.launchPath);
        s.process->setArguments(s.job.arguments);
        std::weak_ptr<State> weak = m_state;
        s.process->sd().launchAsyncWith(
            false,
            [weak](const std::string& piece, process::ProcessInput*) {
                if (const auto state = weak.lock()) state->collect(piece);
            },
            nullptr,
            [weak](int32_t status) {
                if (const auto state = weak.lock()) state->processEnded(status);
            });
    } catch (const process::SlarderError& e) {
        qCWarning(lcTools).noquote()
            << "cannot start" << (s.job.tool + ":").c_str() << e.description().c_str();
        s.over = true;
        // The handler may end this ToolRun: only the state is used after it.
        const std::shared_ptr<State> keep = m_state;
        keep->give({Outcome::notStarted, -1, "error: " + e.description(), {}});
        return;
    }
    s.running = true;
    s.deadline.start(s.job.timeLimit);
}

void ToolRun::cancel() {
    m_state->resultGiven = true;
    m_state->closed = true;
    m_state->stopTool();
}

bool ToolRun::isOver() const {
    return m_state->over && m_state->resultGiven;
}

void ToolRun::stopAll() {
    process::stopAllProcesses();
}

}  // namespace tgw::app
