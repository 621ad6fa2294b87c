#include "process/process.h"

#include <QCoreApplication>
#include <QFileInfo>

#include "common/console.h"
#include "process/piece_decoder.h"
#include "process/privileged_launch.h"

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

int32_t exitStatusOf(const QProcess& p) {
    return p.exitStatus() == QProcess::CrashExit ? 128 + p.exitCode() : p.exitCode();
}

// One asynchronous launch. Owns its process (shared with the caller) and the
// handlers until the process has ended, then deletes itself. Its parent is the
// application, so a launch still running when the program ends is torn down
// (its process stopped) rather than left behind.
class Launch : public QObject {
  public:
    Launch(std::shared_ptr<Process> process, OutputHandler output, ErrorputHandler error,
           TerminateHandler terminate)
        : m_process(std::move(process)),
          m_input(inputOf(m_process->qprocess())),
          m_output(std::move(output)),
          m_error(std::move(error)),
          m_terminate(std::move(terminate)) {
        setParent(QCoreApplication::instance());
        QProcess& qp = m_process->qprocess();
        if (m_output) {
            connect(&qp, &QProcess::readyReadStandardOutput, this, [this] {
                deliverOutput(m_outDecoder.take(m_process->qprocess().readAllStandardOutput()));
            });
        }
        if (m_error) {
            connect(&qp, &QProcess::readyReadStandardError, this, [this] {
                deliverError(m_errDecoder.take(m_process->qprocess().readAllStandardError()));
            });
        }
        connect(&qp, &QProcess::finished, this, [this] { finished(); });
    }

    ~Launch() override {
        // Torn down before its process ended: no callbacks from the process's end.
        QObject::disconnect(&m_process->qprocess(), nullptr, this, nullptr);
    }

    void deliverOutput(const std::optional<std::string>& piece) {
        if (piece && m_output) m_output(*piece, &m_input);
    }
    void deliverError(const std::optional<std::string>& piece) {
        if (piece && m_error) m_error(*piece);
    }

  private:
    void finished() {
        QProcess& qp = m_process->qprocess();
        if (m_output) deliverOutput(m_outDecoder.take(qp.readAllStandardOutput()));
        if (m_error) deliverError(m_errDecoder.take(qp.readAllStandardError()));
        deliverOutput(m_outDecoder.finish());
        deliverError(m_errDecoder.finish());
        if (m_terminate) m_terminate(exitStatusOf(qp));
        disconnect(&qp, nullptr, this, nullptr);
        deleteLater();
    }

    std::shared_ptr<Process> m_process;
    ProcessInput m_input;
    OutputHandler m_output;
    ErrorputHandler m_error;
    TerminateHandler m_terminate;
    PieceDecoder m_outDecoder;
    PieceDecoder m_errDecoder;
};

// Wires the standard streams: error into the output when there is no error
// handler; streams without a handler are left to the parent (error to nowhere
// when neither has one).
void wireStreams(QProcess& qp, bool hasOutput, bool hasError) {
    if (hasOutput && hasError) {
        qp.setProcessChannelMode(QProcess::SeparateChannels);
    } else if (hasOutput) {
        qp.setProcessChannelMode(QProcess::MergedChannels);
    } else if (hasError) {
        qp.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    } else {
        qp.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        qp.setStandardErrorFile(QProcess::nullDevice());
    }
}

std::string nameOf(const Process& p) {
    return QFileInfo(p.launchPath()).fileName().toStdString();
}

void startOrThrow(Process& process) {
    QProcess& qp = process.qprocess();
    if (qp.state() != QProcess::NotRunning) {
        throw SlarderError(SlarderError::Kind::LaunchFailed,
                           nameOf(process) + " could not be started: it is already running");
    }
    qp.start(process.launchPath(), process.arguments());
    if (!qp.waitForStarted(30000)) {
        throw SlarderError(
            SlarderError::Kind::LaunchFailed,
            nameOf(process) + " could not be started: " + qp.errorString().toStdString());
    }
}

}  // namespace

std::shared_ptr<Process> Process::create() {
    return std::shared_ptr<Process>(new Process());
}

std::shared_ptr<Process> Process::initWith(const QString& scriptName, const Bundle* bundle) {
    const Bundle& b = bundle ? *bundle : Bundle::mainBundle();
    const auto path = b.pathForResource(scriptName);
    if (!path) {
        throw SlarderError(SlarderError::Kind::ScriptNotFound,
                           (scriptName + " Not Found in " + Bundle::className()).toStdString());
    }
    auto process = create();
    process->setLaunchPath(*path);
    return process;
}

Slarder Process::sd() {
    return Slarder(shared_from_this());
}

void Slarder::launchAsyncWith(bool sudo, OutputHandler outputHandler,
                              ErrorputHandler errorputHandler, TerminateHandler terminateHandler) {
    if (sudo) {
        launchPrivileged(m_base, std::move(outputHandler), std::move(terminateHandler));
        return;
    }
    QProcess& qp = m_base->qprocess();
    wireStreams(qp, outputHandler != nullptr, errorputHandler != nullptr);
    auto* launch = new Launch(m_base, std::move(outputHandler), std::move(errorputHandler),
                              std::move(terminateHandler));
    try {
        startOrThrow(*m_base);
    } catch (...) {
        delete launch;
        throw;
    }
}

void Slarder::launchWith(bool sudo, OutputHandler outputHandler, ErrorputHandler errorputHandler,
                         TerminateHandler terminateHandler) {
    if (sudo) {
        launchPrivileged(m_base, std::move(outputHandler), std::move(terminateHandler));
        return;
    }
    QProcess& qp = m_base->qprocess();
    wireStreams(qp, outputHandler != nullptr, errorputHandler != nullptr);
    auto* launch = new Launch(m_base, nullptr, nullptr, std::move(terminateHandler));
    try {
        startOrThrow(*m_base);
    } catch (...) {
        delete launch;
        throw;
    }
    PieceDecoder decoder;
    auto readOne = [&](QProcess::ProcessChannel channel) -> std::optional<std::string> {
        qp.setReadChannel(channel);
        if (qp.bytesAvailable() == 0) qp.waitForReadyRead(-1);
        auto piece = decoder.take(qp.readAll());
        return piece ? piece : decoder.finish();
    };
    if (outputHandler) {
        if (auto piece = readOne(QProcess::StandardOutput)) outputHandler(*piece, nullptr);
    }
    if (errorputHandler) {
        if (auto piece = readOne(QProcess::StandardError)) errorputHandler(*piece);
    }
}

}  // namespace tgw::process
