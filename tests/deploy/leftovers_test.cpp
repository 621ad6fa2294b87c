// The agent as ps and pgrep see it, and what a query's tool leaves behind
// when the agent is killed, through the real program: logged in through its
// window in Xvfb (credentials typed by xdotool), a real mosquitto, the login
// stand-in, and stand-in device tools that hang.
#include <signal.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QUuid>
#include <algorithm>

#include "deploy/agent_sandbox.h"
#include "deploy/desktop_session.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"

namespace tgw::test {
namespace {

QString output(const QString& program, const QStringList& arguments) {
    QProcess p;
    p.start(program, arguments);
    p.waitForFinished(20000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The agent with stand-in device tools (an iPhone's ideviceinfo hangs), on
// the display `display` when given, else on none.
QProcess& startAgent(AgentSandbox& sandbox, const QString& display = {}) {
    AgentSandbox::write(sandbox.path("phones"), "hang ideviceinfo\n");
    sandbox.env.insert("FAKE_PHONES", sandbox.path("phones"));
    sandbox.env.insert("PATH", QString(TGW_DEVICE_TOOLS) + ":" + sandbox.env.value("PATH"));
    if (display.isEmpty())
        sandbox.env.insert("QT_QPA_PLATFORM", "offscreen");
    else
        sandbox.env.insert("DISPLAY", display);
    return sandbox.start();
}

TEST(AgentName, PsAndPgrepFindTheAgentByItsName) {
    AgentSandbox sandbox;
    const QString pid = QString::number(startAgent(sandbox).processId());
    // The lock is taken after the start-up re-exec.
    ASSERT_TRUE(waitUntil(
        [&] { return QFile::exists(sandbox.runtimeDir() + "/tgw-mobile-tool.lock"); }, 10000));
    EXPECT_EQ(output("ps", {"-o", "comm=", "-p", pid}), "tgw-mobile-tool");
    EXPECT_TRUE(output("pgrep", {"-x", "tgw-mobile-tool"}).split('\n').contains(pid));
    QFile cmdline("/proc/" + pid + "/cmdline");
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    EXPECT_EQ(cmdline.readAll(), QByteArray(TGW_AGENT_BINARY) + '\0');
}

// The processes whose environment holds `mark`, zombies left out (the
// agent's own environment cannot be read: it is not dumpable).
QStringList marked(const QByteArray& mark) {
    QStringList found;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile environ("/proc/" + pid + "/environ");
        QFile stat("/proc/" + pid + "/stat");
        if (!environ.open(QIODevice::ReadOnly) || !environ.readAll().contains(mark)) continue;
        if (stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ")) found << pid;
    }
    return found;
}

TEST(KilledAgent, NothingOfAQueryIsLeftTwoSecondsAfterTheNextStart) {
    MosquittoBroker broker;
    LoginStub login;
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(login.listen());
    XServer x;
    const QString display = x.display();

    AgentSandbox sandbox;
    const QByteArray mark = "LEFTOVERS_TEST_RUN=" + QUuid::createUuid().toByteArray();
    sandbox.env.insert("LEFTOVERS_TEST_RUN", mark.mid(19));
    struct EndLeftovers {  // should the agent not have ended them
        QByteArray mark;
        ~EndLeftovers() {
            for (const QString& pid : marked(mark)) ::kill(pid.toInt(), SIGKILL);
        }
    } endLeftovers{mark};
    sandbox.useServices(broker.port(), MosquittoBroker::caFile(), login.url());
    QProcess& agent = startAgent(sandbox, display);
    QString window;
    ASSERT_TRUE(waitUntil(
        [&] { return !(window = x.xdotool({"search", "--name", "TGW Mobile Tool"})).isEmpty(); },
        20000));
    for (const QStringList& step :
         {QStringList{"mousemove", "--window", window.section('\n', 0, 0), "200", "20"},
          {"type", "--delay", "20", "tech@example.com"},
          {"key", "Tab"},
          {"type", "--delay", "20", "pw"},
          {"key", "Return"}})
        x.xdotool(step);
    QByteArray out;
    ASSERT_TRUE(waitUntil(
        [&] {
            out += agent.readAllStandardOutput();
            return out.contains("didSubscribeTopic to tg/demo/tool");
        },
        30000))
        << out.toStdString() << agent.readAllStandardError().toStdString();

    // An "apple" query: run.sh starts ideviceinfo, which hangs.
    output("mosquitto_pub", {"-h", "localhost", "-p", QString::number(broker.port()), "--cafile",
                             MosquittoBroker::caFile(), "-u", "tanglow_web", "-P", "palmoc5829",
                             "-q", "1", "-t", "tg/demo/tool", "-m", R"({"type":"apple"})"});
    ASSERT_TRUE(waitUntil(
        [&] {
            const QStringList now = marked(mark);
            return std::any_of(now.begin(), now.end(), [](const QString& p) {
                QFile comm("/proc/" + p + "/comm");
                return comm.open(QIODevice::ReadOnly) && comm.readAll() == "sleep\n";
            });
        },
        10000));
    ::kill(pid_t(agent.processId()), SIGKILL);
    agent.waitForFinished(5000);
    const QStringList left = marked(mark);
    std::printf("processes left after kill -9 of the agent: %lld\n",
                static_cast<long long>(left.size()));
    EXPECT_FALSE(left.isEmpty());  // what the parent-death signal does not reach

    QElapsedTimer since;
    since.start();
    startAgent(sandbox, display);
    // 2 s on a quiet machine; more room for a loaded one or the sanitizers.
    EXPECT_TRUE(waitUntil(
        [&] {
            const QStringList now = marked(mark);
            return std::none_of(left.begin(), left.end(),
                                [&](const QString& p) { return now.contains(p); });
        },
        6000));
    std::printf("left processes ended %lld ms after the next start\n", since.elapsed());
}

}  // namespace
}  // namespace tgw::test
