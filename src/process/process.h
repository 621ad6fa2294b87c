// The process runner: starts a program (usually a tool among the program's
// resources), hands its output on piece by piece as it arrives, and reports its
// exit status, all through callbacks on the launching thread's event loop.
// A launch keeps itself, its process and its handlers alive until the process
// has ended; callers keep nothing. Every launch runs in a process group of its
// own, so that stopping it also stops whatever the program started; what is
// left of the group once the end is reported is killed.
//
//   auto p = Process::initWith("adb");          // throws SlarderError
//   p->setArguments({"devices"});
//   p->sd().launchAsyncWith(false, onOutput, nullptr, onEnd);
#pragma once

#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "process/bundle.h"
#include "process/handlers.h"
#include "process/slarder_error.h"

namespace tgw::process {

class Slarder;

class Process : public std::enable_shared_from_this<Process> {
  public:
    static std::shared_ptr<Process> create();
    // A process for the resource named exactly `scriptName` of `bundle` (the
    // main bundle when none). Throws SlarderError ScriptNotFound.
    static std::shared_ptr<Process> initWith(const QString& scriptName,
                                             const Bundle* bundle = nullptr);

    const QString& launchPath() const { return m_launchPath; }
    void setLaunchPath(QString path) { m_launchPath = std::move(path); }
    const QStringList& arguments() const { return m_arguments; }
    void setArguments(QStringList args) { m_arguments = std::move(args); }

    // The launch operations of this process, as a fresh Slarder on each call:
    // `p->sd().launchAsyncWith(...)`.
    Slarder sd();

    // Stops the running launch of this process and everything it started:
    // SIGTERM to its whole process group, SIGKILL one second later if anything
    // is left. Returns at once; the terminate handler is then called as usual,
    // with the signal's number. Does nothing when no launch of this process is
    // running (not launched, or its end already reported).
    void stop();

    // The underlying process; for the runner.
    QProcess& qprocess() { return m_process; }

  private:
    Process() = default;
    friend class Slarder;

    QString m_launchPath;
    QStringList m_arguments;
    QProcess m_process;
    uint64_t m_launchId = 0;  // the latest launch, for stop()
};

// Slarder: the launch operations of a process, wrapping it as `base`; what
// Process::sd() returns.
class Slarder {
  public:
    explicit Slarder(std::shared_ptr<Process> base) : m_base(std::move(base)) {}
    const std::shared_ptr<Process>& base() const { return m_base; }

    // Starts the process without waiting for it. Standard error is merged into
    // the output when there is no error handler. Throws SlarderError
    // LaunchFailed when the program cannot be started (not executable, bad
    // interpreter); no handler is called then. With `sudo` the program runs with
    // administrator rights; a failed privileged start writes one line and calls
    // no handler.
    void launchAsyncWith(bool sudo, OutputHandler outputHandler = nullptr,
                         ErrorputHandler errorputHandler = nullptr,
                         TerminateHandler terminateHandler = nullptr);
    // Starts the process and delivers one piece of each stream before it
    // returns; standard input stays the caller's own. Later output is read
    // and dropped; the end is reported through the event loop as above.
    void launchWith(bool sudo, OutputHandler outputHandler = nullptr,
                    ErrorputHandler errorputHandler = nullptr,
                    TerminateHandler terminateHandler = nullptr);

  private:
    std::shared_ptr<Process> m_base;
};

// Stops every running launch, as Process::stop() does, and waits until they
// are gone: at most about one second, then SIGKILL for what is left. For
// quitting, so that no tool outlives the program. Terminate handlers of the
// stopped launches may run before it returns (a launch they start is stopped
// too); the others run from the event loop, if it runs again.
void stopAllProcesses();

// Ends what the launches of an earlier run left behind because that run could
// not stop them (it was killed or crashed: a launch's own process dies with
// the program, what that process started does not), and from now on notes the
// process group of every running launch in `runtimeFolder`/tgw-mobile-tool,
// for the next run to do the same. A group is ended only while it is still the
// one noted. Call once at start, before the first launch, in the one running
// instance of the program. Returns how many groups were ended.
int endOrphanedLaunches(const QString& runtimeFolder);

}  // namespace tgw::process
