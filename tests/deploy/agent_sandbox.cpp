#include "deploy/agent_sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>

namespace tgw::test {

AgentSandbox::AgentSandbox() : env(QProcessEnvironment::systemEnvironment()) {
    for (const QString& name : env.keys()) {
        if (name.startsWith("TGW_") || name == "DISPLAY" || name == "WAYLAND_DISPLAY" ||
            name == "QT_QPA_PLATFORM" || name == "JOURNAL_STREAM")
            env.remove(name);
    }
    QDir().mkpath(path("config"));
    QDir().mkpath(runtimeDir());
    QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert("HOME", m_dir.path());
    env.insert("XDG_CONFIG_HOME", path("config"));
    env.insert("XDG_RUNTIME_DIR", runtimeDir());
    env.insert("TGW_SYSTEM_CONFIG", systemFile());
    // No keyring but one a test starts: never the caller's.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path("no-bus"));
    // An adb server of the sandbox's own, on a port free now: the agent's
    // listing starts one, and the caller's (port 5037) is left alone.
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHost)) m_adbPort = probe.serverPort();
    if (m_adbPort != 0) env.insert("ANDROID_ADB_SERVER_PORT", QString::number(m_adbPort));
}

AgentSandbox::~AgentSandbox() {
    for (auto& process : m_started) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    // The server the agent's adb started, if any, goes with the sandbox.
    const QString adb = QStandardPaths::findExecutable("adb");
    if (m_adbPort == 0 || adb.isEmpty()) return;
    QProcess kill;
    kill.start(adb, {"-P", QString::number(m_adbPort), "kill-server"});
    if (!kill.waitForFinished(10000)) {
        kill.kill();
        kill.waitForFinished(5000);
    }
}

void AgentSandbox::write(const QString& file, const QString& text) {
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile out(file);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) out.write(text.toUtf8());
}

void AgentSandbox::useServices(quint16 brokerPort, const QString& caFile,
                               const QString& loginUrl) const {
    write(userFile(), QString("[broker]\nhost=localhost\nport=%1\nca_file=%2\n[web]\nurl=%3\n")
                          .arg(brokerPort)
                          .arg(caFile, loginUrl));
}

AgentRun AgentSandbox::run(const QStringList& arguments, int timeoutMs) const {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(TGW_AGENT_BINARY, arguments);
    AgentRun result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.crashed = true;
    }
    result.crashed = result.crashed || process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QProcess& AgentSandbox::start(const QStringList& arguments) {
    auto& process = m_started.emplace_back(std::make_unique<QProcess>());
    process->setProcessEnvironment(env);
    process->start(TGW_AGENT_BINARY, arguments);
    process->waitForStarted(5000);
    return *process;
}

}  // namespace tgw::test
