#include "process/privileged_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QObject>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <vector>

#include "common/console.h"
#include "process/internal/output_stream.h"
#include "process/internal/running_launch.h"

extern char** environ;

namespace tgw::process {

namespace {

std::optional<QString>& elevationOverride() {
    static std::optional<QString> program;
    return program;
}

// One privileged launch: reads the channel, polls the pid, reports the end
// once both the elevator has ended and the channel has been read to its end,
// then deletes itself.
class PrivilegedLaunch : public QObject, public RunningLaunch {
  public:
    PrivilegedLaunch(const QString& launchPath, PrivilegedChannel channel, OutputHandler output,
                     TerminateHandler terminate)
        : m_launchPath(launchPath),
          m_fd(channel.fd),
          m_pid(channel.pid),
          m_output(std::move(output)),
          m_terminate(std::move(terminate)),
          m_input([this](std::string_view b) { return writeInput(b); },
                  [this] { shutdownInput(); }),
          m_stream(
              ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0), [this](const std::string& s) { onOutput(s); },
              [this] { streamEnded(); }) {
        setParent(QCoreApplication::instance());  // torn down with the program
        m_poll.setInterval(50);
        QObject::connect(&m_poll, &QTimer::timeout, this, [this] { poll(); });
        m_poll.start();
        m_streamEndWait.setSingleShot(true);
        m_streamEndWait.setInterval(kStreamEndWaitMs);
        QObject::connect(&m_streamEndWait, &QTimer::timeout, this, [this] { report(); });
        started(m_pid);
    }
    ~PrivilegedLaunch() override {
        if (m_fd >= 0) ::close(m_fd);
    }

  protected:
    bool waitForEnd(QDeadlineTimer deadline) override {
        while (!m_ended) {
            poll();
            if (m_ended || deadline.hasExpired()) break;
            QThread::msleep(10);
        }
        return m_ended;
    }

  private:
    void onOutput(const std::string& piece) {
        m_sawOutput = true;
        if (!m_notedReplacement && m_stream.replacedAny()) {
            m_notedReplacement = true;
            writeConsoleLine(QFileInfo(m_launchPath).fileName().toStdString() + kNotUtf8Note);
        }
        if (m_output) m_output(piece, &m_input);
    }

    bool writeInput(std::string_view bytes) {
        if (m_fd < 0 || m_inputClosed) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void shutdownInput() {
        if (m_fd >= 0 && !m_inputClosed) ::shutdown(m_fd, SHUT_WR);
        m_inputClosed = true;
    }

    void poll() {
        if (m_ended) return;
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == 0) return;
        m_poll.stop();
        m_ended = true;
        // After -1 (no such child) the status word stays 0. A signal's number
        // is reported as the status of a program it ended.
        if (r > 0) m_exit = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
        // What the program wrote before it ended is in the channel now.
        m_stream.drain();
        streamEnded();
    }

    void streamEnded() {
        if (!m_ended || m_reported) return;
        if (m_stream.atEnd())
            report();
        else if (!m_streamEndWait.isActive())
            m_streamEndWait.start();
    }

    void report() {
        if (m_reported) return;
        m_reported = true;
        m_streamEndWait.stop();
        m_stream.close();
        reported();
        if ((m_exit == 126 || m_exit == 127) && !m_sawOutput) {
            writeConsoleLine("administrator rights were not granted for " +
                             m_launchPath.toStdString() + " (" + elevationProgram().toStdString() +
                             " exit status " + std::to_string(m_exit) + ")");
        }
        if (m_terminate) m_terminate(m_exit);
        deleteLater();
    }

    QString m_launchPath;
    int m_fd;
    pid_t m_pid;
    OutputHandler m_output;
    TerminateHandler m_terminate;
    ProcessInput m_input;
    OutputStream m_stream;
    QTimer m_poll;
    QTimer m_streamEndWait;
    bool m_sawOutput = false;
    bool m_ended = false;
    bool m_reported = false;
    bool m_inputClosed = false;
    bool m_notedReplacement = false;
    int32_t m_exit = 0;
};

}  // namespace

QString elevationProgram() {
    if (elevationOverride()) return *elevationOverride();
    const QString fromEnv = qEnvironmentVariable("TGW_ELEVATOR");
    return fromEnv.isEmpty() ? QStringLiteral("pkexec") : fromEnv;
}

void setElevationProgram(QString program) {
    elevationOverride() = std::move(program);
}

PrivilegedChannel authorLanuch(const QString& launchPath, const QStringList& arguments) {
    const QString elevator = elevationProgram();
    const QString path =
        elevator.startsWith('/') ? elevator : QStandardPaths::findExecutable(elevator);
    if (path.isEmpty()) {
        throw SlarderAuthorError(elevator.toStdString() +
                                 " is not installed: administrator rights cannot be requested");
    }
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        throw SlarderAuthorError(std::string("socketpair failed: ") + strerror(errno));
    }
    std::vector<std::string> args{path.toStdString(), launchPath.toStdString()};
    for (const QString& a : arguments) args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, sv[1], STDOUT_FILENO);
    // A session of its own (a process group where that is not available), so
    // that stopping reaches everything the elevator starts.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
#ifdef POSIX_SPAWN_SETSID
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
#else
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
#endif
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sv[1]);
    if (rc != 0) {
        ::close(sv[0]);
        throw SlarderAuthorError(elevator.toStdString() + " could not be started: " + strerror(rc));
    }
    ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    return {sv[0], static_cast<int>(pid)};
}

uint64_t launchPrivileged(const QString& launchPath, const QStringList& arguments,
                          OutputHandler output, TerminateHandler terminate) {
    try {
        const PrivilegedChannel channel = authorLanuch(launchPath, arguments);
        return (new PrivilegedLaunch(launchPath, channel, std::move(output), std::move(terminate)))
            ->id();
    } catch (const SlarderAuthorError& e) {
        writeConsoleLine(e.description());
        return 0;
    }
}

}  // namespace tgw::process
