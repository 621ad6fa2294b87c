// Quitting on a signal while logged in, through the real program in a real X
// server (Xvfb) with the credentials typed by xdotool, a real mosquitto and
// the login stand-in.
#include <signal.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <QUrl>

#include "deploy/agent_sandbox.h"
#include "deploy/desktop_session.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"

namespace tgw::test {
namespace {

// The agent logged in through its window, as a technician would.
class LoggedInAgentTest : public ::testing::Test {
  protected:
    void logIn(const QString& password) {
        ASSERT_TRUE(broker.start());
        ASSERT_TRUE(login.listen());
        ASSERT_FALSE(x.display() == ":");
        sandbox.env.insert("DISPLAY", x.display());
        sandbox.useServices(broker.port(), MosquittoBroker::caFile(), login.url());
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
    const QRegularExpression goodbye(
        QString("Client TGW-API-MOBILE-TOOL-%1-[0-9a-f]{8} disconnected\\.").arg(pid));
    EXPECT_TRUE(broker.log().contains(goodbye)) << broker.log().toStdString();
}

// The retained status the web service sees: mosquitto_sub's lines.
class StatusSubscriber {
  public:
    explicit StatusSubscriber(const MosquittoBroker& broker) {
        m_process.start("mosquitto_sub",
                        {"-h", "localhost", "-p", QString::number(broker.port()), "--cafile",
                         MosquittoBroker::caFile(), "-u", "tanglow_web", "-P", "palmoc5829", "-t",
                         "tg/demo/tool/status"});
    }
    ~StatusSubscriber() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // Waits for a status whose state is `state`.
    bool waitFor(const QByteArray& state, int timeoutMs) {
        return waitUntil(
            [&] {
                m_out += m_process.readAllStandardOutput();
                return m_out.contains("\"state\":\"" + state + "\"");
            },
            timeoutMs);
    }
    QByteArray m_out;

  private:
    QProcess m_process;
};

TEST_F(LoggedInAgentTest, StatusInEachStateAndKillNineLeavesTheRetainedOfflineStatus) {
    logIn("pw");
    AgentRun status = sandbox.run({"--status"});
    EXPECT_EQ(status.exitCode, 0) << status.err.toStdString();
    EXPECT_TRUE(status.out.contains("state: connected since ")) << status.out.toStdString();
    EXPECT_TRUE(status.out.contains("account prefix: demo\n"));
    EXPECT_TRUE(
        status.out.contains(QString("broker: localhost:%1 as tanglow_web\n").arg(broker.port())));
    {
        StatusSubscriber web(broker);
        EXPECT_TRUE(web.waitFor("online", 10000)) << web.m_out.toStdString();
    }

    broker.stop();
    ASSERT_TRUE(
        waitUntil([&] { return sandbox.run({"--status"}).out.contains("retrying"); }, 10000));
    status = sandbox.run({"--status"});
    EXPECT_EQ(status.exitCode, 3);
    EXPECT_FALSE(status.out.contains("last error: none")) << status.out.toStdString();

    ASSERT_TRUE(broker.start());
    StatusSubscriber web(broker);
    ASSERT_TRUE(web.waitFor("online", 20000)) << web.m_out.toStdString();
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(agent->processId()), SIGKILL);
    ASSERT_TRUE(web.waitFor("offline", 90000));  // 1.5 keep-alive periods of 60 s
    std::printf("kill -9 -> offline status in %lld ms\n", clock.elapsed());
    agent->waitForFinished(5000);
    EXPECT_EQ(sandbox.run({"--status"}).exitCode, 4);
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
    const QByteArray utf16(reinterpret_cast<const char*>(password.utf16()), password.size() * 2);
    const auto scan = [&](const char* when) {
        SCOPED_TRACE(when);
        const QByteArray memory = processMemory(agent->processId());
        ASSERT_GT(memory.size(), 1 << 20);
        EXPECT_FALSE(memory.contains(password.toUtf8())) << "as UTF-8";
        EXPECT_FALSE(memory.contains(utf16)) << "as UTF-16";
        EXPECT_FALSE(memory.contains(QUrl::toPercentEncoding(password))) << "percent-encoded";
    };
    // The measure is the memory a few seconds after the login, not an event.
    QThread::sleep(3);
    scan("3 s after the login");
    EXPECT_EQ(login.openConnections(), 0);
    // A reconnect to the broker does not bring it back.
    broker.stop();
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitUntil([&] { return sandbox.run({"--status"}).exitCode == 0; }, 20000));
    scan("after a reconnect");
}

}  // namespace
}  // namespace tgw::test
