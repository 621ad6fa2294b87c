// One agent per user, through real processes.
#include <signal.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <memory>
#include <vector>

#include "deploy/agent_sandbox.h"
#include "support/wait.h"

namespace tgw::test {
namespace {

constexpr char kHandedOver[] = "tgw-mobile-tool is already running; its window was raised\n";

TEST(SingleInstanceTest, ASecondStartRaisesTheFirstAndEnds) {
    AgentSandbox sandbox;
    sandbox.env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString socket = sandbox.runtimeDir() + "/tgw-mobile-tool.socket";

    QProcess& first = sandbox.start();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(socket); }, 20000));
    const AgentRun second = sandbox.run({});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, kHandedOver);
    EXPECT_EQ(first.state(), QProcess::Running);

    // A crashed agent leaves its lock and socket behind: the next start takes over.
    ::kill(pid_t(first.processId()), SIGKILL);
    first.waitForFinished(5000);
    QProcess& third = sandbox.start();
    const QString lock = sandbox.runtimeDir() + "/tgw-mobile-tool.lock";
    ASSERT_TRUE(waitUntil(
        [&] {
            QFile file(lock);
            return file.open(QIODevice::ReadOnly) &&
                   file.readLine().trimmed() == QByteArray::number(third.processId());
        },
        20000));
    EXPECT_EQ(sandbox.run({}).out, kHandedOver);
    EXPECT_EQ(third.state(), QProcess::Running);
}

TEST(SingleInstanceTest, IdleConnectionsAreBoundedAndStatusStillAnswers) {
    AgentSandbox sandbox;
    sandbox.env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString socket = sandbox.runtimeDir() + "/tgw-mobile-tool.socket";
    QProcess& agent = sandbox.start();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(socket); }, 20000));
    const QString fds = QString("/proc/%1/fd").arg(agent.processId());
    const auto open = [&] { return QDir(fds).entryList(QDir::Files | QDir::System).size(); };
    const qsizetype before = open();

    std::vector<std::unique_ptr<QLocalSocket>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<QLocalSocket>());
        idle.back()->connectToServer(socket);
        ASSERT_TRUE(idle.back()->waitForConnected(5000));
    }
    const AgentRun status = sandbox.run({"--status"});
    EXPECT_TRUE(status.out.startsWith("state: ")) << status.err.toStdString();
    EXPECT_LE(open(), before + 40);  // at most 32 connections kept
}

}  // namespace
}  // namespace tgw::test
