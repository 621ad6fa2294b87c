// Quitting on a signal while logged in, through the real program in a real X
// server (Xvfb) with the credentials typed by xdotool, a real mosquitto and
// the login stand-in.
#include <signal.h>

#include <gtest/gtest.h>
#include <QFile>
#include <QThread>
#include <QUrl>

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

// The agent logged in through its window, as a technician would.
class LoggedInAgentTest : public ::testing::Test {
  protected:
    void logIn(const QString& password) {
        ASSERT_TRUE(broker.start());
        ASSERT_TRUE(login.listen());
        ASSERT_FALSE(x.display() == ":");
        sandbox.env.insert("DISPLAY", x.display());
        AgentSandbox::write(sandbox.userFile(),
                            QString("[broker]\nhost=localhost\nport=%1\nca_file=%2\n"
                                    "[web]\nurl=%3\n")
                                .arg(broker.port())
                                .arg(MosquittoBroker::caFile(), login.url()));
        agent = &sandbox.start();
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
        x.xdotool({"type", "--delay", "20", password});
        x.xdotool({"key", "Return"});
        QByteArray out;
        ASSERT_TRUE(waitUntil(
            [&] {
                out += agent->readAllStandardOutput();
                return out.contains("didSubscribeTopic to tg/demo/tool");
            },
            30000))
            << out.toStdString();
    }

    MosquittoBroker broker;
    LoginStub login;
    XServer x;
    AgentSandbox sandbox;
    QProcess* agent = nullptr;
};

TEST_F(LoggedInAgentTest, SigtermDisconnectsAndExitsZero) {
    logIn("pw");
    const qint64 pid = agent->processId();
    ::kill(pid_t(pid), SIGTERM);
    ASSERT_TRUE(agent->waitForFinished(10000));
    EXPECT_EQ(agent->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent->exitCode(), 0);
    // mosquitto writes its log through a buffer: stopping it flushes it.
    broker.stop();
    const QString client = QString("TGW-API-MOBILE-TOOL-%1").arg(pid);
    EXPECT_TRUE(broker.log().contains("Client " + client + " disconnected."))
        << broker.log().toStdString();
}

// What a core file of the running agent would hold: every readable mapping.
QByteArray processMemory(qint64 pid) {
    QFile maps(QString("/proc/%1/maps").arg(pid));
    QFile mem(QString("/proc/%1/mem").arg(pid));
    if (!maps.open(QIODevice::ReadOnly) || !mem.open(QIODevice::ReadOnly)) return {};
    QByteArray all;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2 || !fields[1].startsWith('r') || line.contains("[vvar]")) continue;
        const QList<QByteArray> range = fields[0].split('-');
        const qulonglong from = range[0].toULongLong(nullptr, 16);
        const qulonglong to = range[1].toULongLong(nullptr, 16);
        if (!mem.seek(qint64(from))) continue;
        all += mem.read(qint64(to - from));
    }
    return all;
}

TEST_F(LoggedInAgentTest, ThePasswordIsNotKeptInMemoryAfterTheLogin) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's allocator keeps freed blocks as they were, by design";
#endif
    // "&" and "=" are percent-encoded in the form; the stand-in keeps the
    // login's connection open, as most web servers do.
    const QString password = "Pw-7q&Zx=Kite";
    logIn(password);
    ASSERT_TRUE(login.keepAlive);
    // The measure is the memory a few seconds after the login, not an event.
    QThread::sleep(3);
    const QByteArray memory = processMemory(agent->processId());
    ASSERT_GT(memory.size(), 1 << 20);
    const QByteArray utf16(reinterpret_cast<const char*>(password.utf16()), password.size() * 2);
    EXPECT_FALSE(memory.contains(password.toUtf8())) << "as UTF-8";
    EXPECT_FALSE(memory.contains(utf16)) << "as UTF-16";
    EXPECT_FALSE(memory.contains(QUrl::toPercentEncoding(password))) << "percent-encoded";
    EXPECT_EQ(login.openConnections(), 0);
}

}  // namespace
}  // namespace tgw::test
