// Quitting on a signal while logged in, through the real program in a real X
// server (Xvfb) with the credentials typed by xdotool, a real mosquitto and
// the login stand-in.
#include <signal.h>

#include <gtest/gtest.h>
#include <QFile>

#include "deploy/agent_sandbox.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"

namespace tgw::test {
namespace {

// An X server on a display of its own, stopped by its own pid.
class XServer {
  public:
    XServer() {
        m_process.start("bash", {"-c",
                                 "exec Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp "
                                 "-noreset 3>" +
                                     m_dir.path() + "/display 2>/dev/null"});
        waitUntil([&] { return !number().isEmpty(); }, 10000);
    }
    ~XServer() {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    QString display() const { return ":" + number(); }
    // Runs xdotool on this display; its standard output.
    QString xdotool(const QStringList& arguments) const {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display());
        tool.setProcessEnvironment(env);
        tool.start("xdotool", arguments);
        tool.waitForFinished(20000);
        return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    }

  private:
    QString number() const {
        QFile file(m_dir.path() + "/display");
        return file.open(QIODevice::ReadOnly) ? QString(file.readLine()).trimmed() : QString();
    }
    QTemporaryDir m_dir;
    QProcess m_process;
};

TEST(QuitTest, SigtermToALoggedInAgentDisconnectsAndExitsZero) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    LoginStub login;
    ASSERT_TRUE(login.listen());
    XServer x;
    ASSERT_FALSE(x.display() == ":");

    AgentSandbox sandbox;
    sandbox.env.insert("DISPLAY", x.display());
    AgentSandbox::write(sandbox.userFile(),
                        QString("[broker]\nhost=localhost\nport=%1\nca_file=%2\n"
                                "[web]\nurl=%3\n")
                            .arg(broker.port())
                            .arg(MosquittoBroker::caFile(), login.url()));
    QProcess& agent = sandbox.start();
    QString window;
    ASSERT_TRUE(waitUntil(
        [&] {
            return !(window = x.xdotool({"search", "--name", "TGW Mobile Tool"})).isEmpty();
        },
        20000));
    window = window.section('\n', 0, 0);
    x.xdotool({"mousemove", "--window", window, "200", "20"});
    x.xdotool({"type", "--delay", "20", "tech@example.com"});
    x.xdotool({"key", "Tab"});
    x.xdotool({"type", "--delay", "20", "pw"});
    x.xdotool({"key", "Return"});
    QByteArray out;
    ASSERT_TRUE(waitUntil(
        [&] {
            out += agent.readAllStandardOutput();
            return out.contains("didSubscribeTopic to tg/demo/tool");
        },
        30000))
        << out.toStdString();

    const qint64 pid = agent.processId();
    ::kill(pid_t(pid), SIGTERM);
    ASSERT_TRUE(agent.waitForFinished(10000));
    EXPECT_EQ(agent.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.exitCode(), 0);
    // mosquitto writes its log through a buffer: stopping it flushes it.
    broker.stop();
    const QString client = QString("TGW-API-MOBILE-TOOL-%1").arg(pid);
    EXPECT_TRUE(broker.log().contains("Client " + client + " disconnected."))
        << broker.log().toStdString();
}

}  // namespace
}  // namespace tgw::test
