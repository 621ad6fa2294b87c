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
#include <QObject>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <vector>

#include "common/console.h"
#include "process/piece_decoder.h"

extern char** environ;

namespace tgw::process {

namespace {

std::optional<QString>& elevationOverride() {
    static std::optional<QString> program;
    return program;
}

// One privileged launch: reads the channel, polls the pid, then deletes itself.
class PrivilegedLaunch : public QObject {
  public:
    PrivilegedLaunch(std::shared_ptr<Process> process, PrivilegedChannel channel,
                     OutputHandler output, TerminateHandler terminate)
        : m_process(std::move(process)),
          m_fd(channel.fd),
          m_pid(channel.pid),
          m_output(std::move(output)),
          m_terminate(std::move(terminate)),
          m_input([this](std::string_view b) { return writeInput(b); },
                  [this] { shutdownInput(); }),
          m_notifier(m_fd, QSocketNotifier::Read) {
        setParent(QCoreApplication::instance());  // torn down with the program
        QObject::connect(&m_notifier, &QSocketNotifier::activated, this, [this] { readChannel(); });
        m_poll.setInterval(50);
        QObject::connect(&m_poll, &QTimer::timeout, this, [this] { poll(); });
        m_poll.start();
    }
    ~PrivilegedLaunch() override {
        if (m_fd >= 0) ::close(m_fd);
    }

  private:
    void readChannel() {
        char buf[65536];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            m_sawOutput = true;
            deliver(m_decoder.take(QByteArray(buf, static_cast<qsizetype>(n))));
            return;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        m_notifier.setEnabled(false);
        m_eof = true;
        deliver(m_decoder.finish());
        finishIfDone();
    }

    void deliver(const std::optional<std::string>& piece) {
        if (piece && m_output) m_output(*piece, &m_input);
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
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == 0) return;
        m_poll.stop();
        int32_t exit = 0;  // after -1 (no such child) the status word stays 0
        if (r > 0) exit = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        m_ended = true;
        m_exit = exit;
        // Read what the program wrote before it ended, then report the end.
        if (!m_eof) readChannel();
        finishIfDone();
    }

    // Reports the end once the program has ended; goes away once, in
    // addition, the channel has reached its end (a grandchild may hold it open).
    void finishIfDone() {
        if (m_ended && !m_reported) {
            m_reported = true;
            if ((m_exit == 126 || m_exit == 127) && !m_sawOutput) {
                writeConsoleLine("administrator rights were not granted for " +
                                 m_process->launchPath().toStdString() + " (" +
                                 elevationProgram().toStdString() + " exit status " +
                                 std::to_string(m_exit) + ")");
            }
            if (m_terminate) m_terminate(m_exit);
        }
        if (m_reported && m_eof && !m_finished) {
            m_finished = true;
            deleteLater();
        }
    }

    std::shared_ptr<Process> m_process;
    int m_fd;
    pid_t m_pid;
    OutputHandler m_output;
    TerminateHandler m_terminate;
    ProcessInput m_input;
    QSocketNotifier m_notifier;
    QTimer m_poll;
    PieceDecoder m_decoder;
    bool m_sawOutput = false;
    bool m_eof = false;
    bool m_ended = false;
    bool m_reported = false;
    bool m_finished = false;
    bool m_inputClosed = false;
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

PrivilegedChannel authorLanuch(const Process& process) {
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
    std::vector<std::string> args{path.toStdString(), process.launchPath().toStdString()};
    for (const QString& a : process.arguments()) args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, sv[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sv[1]);
    if (rc != 0) {
        ::close(sv[0]);
        throw SlarderAuthorError(elevator.toStdString() + " could not be started: " + strerror(rc));
    }
    ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    return {sv[0], static_cast<int>(pid)};
}

void launchPrivileged(const std::shared_ptr<Process>& process, OutputHandler output,
                      TerminateHandler terminate) {
    try {
        const PrivilegedChannel channel = authorLanuch(*process);
        new PrivilegedLaunch(process, channel, std::move(output), std::move(terminate));
    } catch (const SlarderAuthorError& e) {
        writeConsoleLine(e.description());
    }
}

}  // namespace tgw::process
