#include "process/internal/launch.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <vector>

#include "common/console.h"
#include "process/internal/output_stream.h"
#include "process/internal/running_launch.h"
#include "process/process.h"

namespace tgw::process {

namespace {

ProcessInput inputOf(QProcess& process) {
    QPointer<QProcess> p(&process);
    return ProcessInput(
        [p](std::string_view bytes) {
            if (!p || p->state() != QProcess::Running) return false;
            return p->write(bytes.data(), static_cast<qint64>(bytes.size())) ==
                   static_cast<qint64>(bytes.size());
        },
        [p] {
            if (p) p->closeWriteChannel();
        });
}

std::string nameOf(const QString& launchPath) {
    return QFileInfo(launchPath).fileName().toStdString();
}

[[noreturn]] void failStart(const QString& launchPath, const std::string& why) {
    throw SlarderError(SlarderError::Kind::LaunchFailed,
                       nameOf(launchPath) + " could not be started: " + why);
}

// A close-on-exec descriptor above the standard ones, so that placing it on
// standard output or error in the child never overwrites another.
int aboveStandard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

// A pipe as {read end, write end}, both close-on-exec.
std::pair<int, int> makePipe(const QString& launchPath) {
    int fds[2];
#ifdef __linux__
    const int rc = ::pipe2(fds, O_CLOEXEC);
#else
    const int rc = ::pipe(fds);
    if (rc == 0)
        for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    if (rc != 0) failStart(launchPath, std::string("no pipe: ") + strerror(errno));
    for (int& fd : fds) fd = aboveStandard(fd);
    return {fds[0], fds[1]};
}

// One launch without administrator rights. Owns its process (shared with the
// caller) and the handlers until it has reported the end, then deletes
// itself. The end is reported once the process has ended and each output
// stream has been read to its end (or a process left behind has held a stream
// open for a second past that). Its parent is the application, so a launch
// still running when the program ends is torn down with its whole group
// rather than left behind.
class Launch : public QObject, public RunningLaunch {
  public:
    Launch(std::shared_ptr<Process> process, OutputHandler output, ErrorputHandler error,
           TerminateHandler terminate)
        : m_process(std::move(process)),
          m_input(inputOf(m_process->qprocess())),
          m_output(std::move(output)),
          m_error(std::move(error)),
          m_terminate(std::move(terminate)) {
        setParent(QCoreApplication::instance());
        m_streamEndWait.setSingleShot(true);
        m_streamEndWait.setInterval(kStreamEndWaitMs);
        connect(&m_streamEndWait, &QTimer::timeout, this, [this] { report(); });
    }

    ~Launch() override { QObject::disconnect(&m_process->qprocess(), nullptr, this, nullptr); }

    // Wires the streams and starts the process in a session of its own.
    // Standard error joins the output when there is no error handler; a stream
    // without a handler is left to the parent (error to nowhere when neither
    // has one). Throws SlarderError LaunchFailed; nothing is called then.
    void start(bool inheritInput) {
        QProcess& qp = m_process->qprocess();
        const QString& path = m_process->launchPath();
        if (qp.state() != QProcess::NotRunning) failStart(path, "it is already running");
        // The child's ends of the streams, closed here once the child has them
        // (or the start failed).
        struct ChildEnds : std::vector<int> {
            ~ChildEnds() {
                for (int fd : *this)
                    if (fd >= 0) ::close(fd);
            }
        } childEnds;
        int childOut = -1;
        int childErr = -1;
        if (m_output) {
            const auto [readEnd, writeEnd] = makePipe(path);
            childEnds.push_back(childOut = writeEnd);
            m_out = std::make_unique<OutputStream>(
                readEnd, [this](const std::string& s) { onOutput(s); }, [this] { streamEnded(); });
        }
        if (m_error) {
            const auto [readEnd, writeEnd] = makePipe(path);
            childEnds.push_back(childErr = writeEnd);
            m_err = std::make_unique<OutputStream>(
                readEnd, [this](const std::string& s) { onError(s); }, [this] { streamEnded(); });
        } else if (m_output) {
            childErr = childOut;
        } else {
            childEnds.push_back(childErr =
                                    aboveStandard(::open("/dev/null", O_WRONLY | O_CLOEXEC)));
        }
        qp.setProcessChannelMode(QProcess::ForwardedChannels);
        qp.setInputChannelMode(inheritInput ? QProcess::ForwardedInputChannel
                                            : QProcess::ManagedInputChannel);
        const pid_t agent = ::getpid();
        qp.setChildProcessModifier([childOut, childErr, agent] {
            // In the child between fork and exec: async-signal-safe calls only.
            if (childOut >= 0) ::dup2(childOut, STDOUT_FILENO);
            if (childErr >= 0) ::dup2(childErr, STDERR_FILENO);
            ::setsid();
            // Should the agent die without stopping it (a crash, SIGKILL), the
            // tool goes too; the agent may already be gone by now.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != agent) ::_exit(127);
        });
        connect(&qp, &QProcess::finished, this, [this] { processEnded(); });
        qp.start(path, m_process->arguments());
        if (!qp.waitForStarted(30000)) {
            QObject::disconnect(&qp, nullptr, this, nullptr);
            failStart(path, qp.errorString().toStdString());
        }
        started(static_cast<pid_t>(qp.processId()));
    }

    // The blocking launch's reads: waits for one piece (or the end) of each
    // stream and hands it on; afterwards the streams are read and dropped.
    // Both streams are read meanwhile, so that a program that fills one of
    // them while the other is awaited does not stall.
    void deliverFirstPieces() {
        OutputHandler output = std::exchange(m_output, nullptr);
        ErrorputHandler error = std::exchange(m_error, nullptr);
        std::optional<std::string> outPiece;
        std::optional<std::string> errPiece;
        bool outDone = !m_out;
        bool errDone = !m_err;
        while (!outDone || !errDone) {
            std::vector<pollfd> fds;
            std::vector<std::pair<OutputStream*, bool*>> streams;
            for (auto [stream, done] :
                 {std::pair{m_out.get(), &outDone}, {m_err.get(), &errDone}}) {
                if (!stream || stream->atEnd()) {
                    *done = true;
                    continue;
                }
                fds.push_back({stream->fd(), POLLIN, 0});
                streams.emplace_back(stream, done);
            }
            if (fds.empty()) break;
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                auto [stream, done] = streams[i];
                bool ended = false;
                auto piece = stream->readPiece(&ended);
                if (*done) continue;  // only the first piece is wanted
                auto& slot = stream == m_out.get() ? outPiece : errPiece;
                if (piece) slot = std::move(piece);
                *done = slot.has_value() || ended;
            }
        }
        noteReplacement();
        if (outPiece && output) output(*outPiece, nullptr);
        if (errPiece && error) error(*errPiece);
    }

  protected:
    bool waitForEnd(QDeadlineTimer deadline) override {
        if (!m_ended) {
            m_process->qprocess().waitForFinished(static_cast<int>(deadline.remainingTime()));
        }
        return m_ended;
    }

  private:
    void onOutput(const std::string& piece) {
        noteReplacement();
        if (m_output) m_output(piece, &m_input);
    }
    void onError(const std::string& piece) {
        noteReplacement();
        if (m_error) m_error(piece);
    }

    void noteReplacement() {
        if (m_notedReplacement) return;
        if ((m_out && m_out->replacedAny()) || (m_err && m_err->replacedAny())) {
            m_notedReplacement = true;
            writeConsoleLine(nameOf(m_process->launchPath()) + kNotUtf8Note);
        }
    }

    void processEnded() {
        QProcess& qp = m_process->qprocess();
        QObject::disconnect(&qp, &QProcess::finished, this, nullptr);
        m_ended = true;
        // A process ended by a signal: Qt gives the signal's number here.
        m_status = qp.exitCode();
        // What the program wrote before it ended is all in the pipes now.
        if (m_out) m_out->drain();
        if (m_err) m_err->drain();
        streamEnded();
    }

    void streamEnded() {
        if (!m_ended || m_reported) return;
        const bool allRead = (!m_out || m_out->atEnd()) && (!m_err || m_err->atEnd());
        if (allRead)
            report();
        else if (!m_streamEndWait.isActive())
            m_streamEndWait.start();
    }

    void report() {
        if (m_reported) return;
        m_reported = true;
        m_streamEndWait.stop();
        if (m_out) m_out->close();
        if (m_err) m_err->close();
        reported();
        if (m_terminate) m_terminate(m_status);
        deleteLater();
    }

    std::shared_ptr<Process> m_process;
    ProcessInput m_input;
    OutputHandler m_output;
    ErrorputHandler m_error;
    TerminateHandler m_terminate;
    std::unique_ptr<OutputStream> m_out;
    std::unique_ptr<OutputStream> m_err;
    QTimer m_streamEndWait;
    bool m_ended = false;
    bool m_reported = false;
    bool m_notedReplacement = false;
    int32_t m_status = 0;
};

}  // namespace

uint64_t startLaunch(const std::shared_ptr<Process>& process, OutputHandler output,
                     ErrorputHandler error, TerminateHandler terminate, bool blocking) {
    auto* launch = new Launch(process, std::move(output), std::move(error), std::move(terminate));
    try {
        launch->start(blocking);
    } catch (...) {
        delete launch;
        throw;
    }
    if (blocking) launch->deliverFirstPieces();
    return launch->id();
}

}  // namespace tgw::process
