// The process runner: starts a program (usually a tool among the program's
// resources), hands its output on piece by piece as it arrives, and reports its
// exit status, all through callbacks on the launching thread's event loop.
// A launch keeps itself, its process and its handlers alive until the process
// has ended; callers keep nothing.
//
//   auto p = Process::initWith("adb");          // throws SlarderError
//   p->setArguments({"devices"});
//   p->sd().launchAsyncWith(false, onOutput, nullptr, onEnd);
#pragma once

#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "process/bundle.h"
#include "process/slarder_error.h"

namespace tgw::process {

// The standard input of a running process, handed to the output handler.
class ProcessInput {
  public:
    using Writer = std::function<bool(std::string_view)>;
    ProcessInput(Writer write, std::function<void()> close)
        : m_write(std::move(write)), m_close(std::move(close)) {}
    // False when the process is gone or its input closed.
    bool write(std::string_view bytes) { return m_write(bytes); }
    void close() { m_close(); }

  private:
    Writer m_write;
    std::function<void()> m_close;
};

// Each piece is what one read returned, as UTF-8 text; a piece that is not
// valid UTF-8 arrives as "output is not UTF8 String". A character cut by a read
// boundary is completed from the next read, never reported as invalid.
using OutputHandler = std::function<void(const std::string& piece, ProcessInput* input)>;
using ErrorputHandler = std::function<void(const std::string& piece)>;
// The exit code; for a process ended by a signal, 128 + the signal number.
using TerminateHandler = std::function<void(int32_t status)>;

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

    Slarder sd();

    // The underlying process; for the runner.
    QProcess& qprocess() { return m_process; }

  private:
    Process() = default;

    QString m_launchPath;
    QStringList m_arguments;
    QProcess m_process;
};

// The launch operations of a process.
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
    // returns; the end is reported through the event loop as above.
    void launchWith(bool sudo, OutputHandler outputHandler = nullptr,
                    ErrorputHandler errorputHandler = nullptr,
                    TerminateHandler terminateHandler = nullptr);

  private:
    std::shared_ptr<Process> m_base;
};

}  // namespace tgw::process
