// `--status` through the real program: no agent, and an agent that runs but
// has no login yet (the logged-in states are in quit_test.cpp).
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "deploy/agent_sandbox.h"
#include "support/wait.h"

namespace tgw::test {
namespace {

// The status query gives up on its own after 450 ms: an answer at all is one in time.
TEST(StatusTest, NoAgentThenAnAgentWithoutALoginAnswer) {
    AgentSandbox sandbox;
    AgentRun none = sandbox.run({"--status"});
    EXPECT_EQ(none.exitCode, 4);
    EXPECT_EQ(none.err, "tgw-mobile-tool: no agent runs for this user\n");
    const AgentRun noneJson = sandbox.run({"--status", "--json"});
    EXPECT_EQ(noneJson.exitCode, 4);
    EXPECT_EQ(noneJson.out, "{\"state\":\"not running\"}\n");

    sandbox.env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess& agent = sandbox.start();
    ASSERT_TRUE(waitUntil(
        [&] { return QFile::exists(sandbox.runtimeDir() + "/tgw-mobile-tool.socket"); }, 20000));
    sandbox.env.remove("QT_QPA_PLATFORM");
    const AgentRun text = sandbox.run({"--status"});
    EXPECT_EQ(text.exitCode, 3) << text.err.toStdString();
    for (const char* field :
         {"state: disconnected since ", "broker: localhost:8883 as tanglow_web\n",
          "client id: TGW-API-MOBILE-TOOL-", "account prefix: (not logged in)\n",
          "last error: none\n", "phones: ", "queries: 0 running, 0 waiting\n", "results held: 0\n",
          "version: " TGW_PROJECT_VERSION "\n"})
        EXPECT_TRUE(text.out.contains(field)) << field << "\n" << text.out.toStdString();

    const AgentRun json = sandbox.run({"--status", "--json"});
    EXPECT_EQ(json.exitCode, 3);
    const QJsonObject status = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(status["state"], "disconnected");
    EXPECT_TRUE(status["client_id"].toString().startsWith(
        "TGW-API-MOBILE-TOOL-" + QString::number(agent.processId()) + "-"));
    EXPECT_EQ(agent.state(), QProcess::Running);
}

}  // namespace
}  // namespace tgw::test
