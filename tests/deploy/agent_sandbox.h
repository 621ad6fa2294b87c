// Runs the real agent program in a sandbox of its own: a temporary HOME,
// XDG_CONFIG_HOME, XDG_RUNTIME_DIR and system configuration file, no display,
// no session bus and none of the caller's TGW_* variables.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <ostream>

// Test failures show QStrings as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << text.toStdString();
}

namespace tgw::test {

struct AgentRun {
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;
};

class AgentSandbox {
  public:
    AgentSandbox();
    ~AgentSandbox();

    QString path(const QString& relative) const { return m_dir.path() + "/" + relative; }
    QString systemFile() const { return path("etc/agent.conf"); }
    QString userFile() const { return path("config/tgw-mobile-tool/agent.conf"); }
    QString runtimeDir() const { return path("run"); }
    // Writes `text` to `file`, making its folder.
    static void write(const QString& file, const QString& text);
    // The user's file points the agent at a broker on localhost and a login service.
    void useServices(quint16 brokerPort, const QString& caFile, const QString& loginUrl) const;

    // Runs the agent to its end (killed after `timeoutMs`).
    AgentRun run(const QStringList& arguments, int timeoutMs = 20000) const;
    // Starts the agent; stopped (SIGKILL) when the sandbox goes, if still running.
    QProcess& start(const QStringList& arguments = {});

    QProcessEnvironment env;

  private:
    QTemporaryDir m_dir;
    quint16 m_adbPort = 0;
    std::vector<std::unique_ptr<QProcess>> m_started;
};

}  // namespace tgw::test
