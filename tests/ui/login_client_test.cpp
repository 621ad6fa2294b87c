// The HTTPS login without widgets, against the local login stub.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "app/login/login_client.h"
#include "support/agent_config.h"
#include "support/login_stub.h"
#include "support/proc_status.h"
#include "support/wait.h"

using tgw::app::LoginClient;
using tgw::test::LoginStub;
using tgw::test::waitUntil;
using Outcome = LoginClient::Outcome;

namespace tgw::app {
void PrintTo(LoginClient::Outcome outcome, std::ostream* os) {
    static const char* const names[] = {"accepted", "rejected", "unreachable", "untrusted",
                                        "badReply"};
    *os << names[static_cast<int>(outcome)];
}
}  // namespace tgw::app

namespace {

class LoginClientTest : public ::testing::Test {
  protected:
    LoginClientTest() { EXPECT_TRUE(stub.listen()); }

    LoginClient::Result login(int timeoutMs = 10000) {
        std::optional<LoginClient::Result> result;
        testing::internal::CaptureStdout();
        client.login("tech@example.com", "secret", [&](const auto& r) { result = r; });
        const bool done = waitUntil([&] { return result.has_value(); }, timeoutMs);
        console = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(done) << console;
        EXPECT_FALSE(client.isRunning());
        return result.value_or(LoginClient::Result{});
    }

    LoginStub stub;
    LoginClient client{tgw::test::agentConfig(stub)};
    std::string console;
};

}  // namespace

TEST_F(LoginClientTest, StatusAndBodyDecideTheOutcome) {
    const char* ok = R"({"success": 1, "prefix": "demo"})";
    const char* no = R"({"success": 0, "prefix": "demo"})";
    struct Row {
        int status;
        const char* body;
        Outcome outcome;
    } rows[] = {
        {200, ok, Outcome::accepted},
        {200, no, Outcome::rejected},
        {401, no, Outcome::rejected},  // how a web service may turn credentials down
        {500, ok, Outcome::badReply},  // an error status never accepts
        {401, ok, Outcome::badReply},
        {302, ok, Outcome::badReply},
        {503, "", Outcome::badReply},
        {200, R"({"success": 1, "prefix": "demo", "mqtt_username": "u"})", Outcome::badReply},
        {200, R"({"success": 1, "prefix": "demo", "mqtt_username": "u", "mqtt_password": 5})",
         Outcome::badReply},
    };
    for (const Row& row : rows) {
        stub.status = row.status;
        stub.replyBody = row.body;
        const auto result = login();
        EXPECT_EQ(result.outcome, row.outcome) << row.status << " " << row.body << "\n" << console;
        EXPECT_EQ(result.prefix, row.outcome == Outcome::accepted ? "demo" : "") << row.body;
        EXPECT_FALSE(result.broker) << row.body;
    }
    EXPECT_EQ(stub.lastPath, "/api/connect");
}

TEST_F(LoginClientTest, BrokerCredentialsInTheReplyComeWithTheAcceptance) {
    stub.replyBody =
        R"({"success": 1, "prefix": "demo", "mqtt_username": "acct-7", "mqtt_password": "s3"})";
    const auto result = login();
    ASSERT_EQ(result.outcome, Outcome::accepted);
    ASSERT_TRUE(result.broker);
    EXPECT_EQ(result.broker->username, "acct-7");
    EXPECT_EQ(result.broker->password, "s3");
    EXPECT_EQ(console, "UserConnection(success: 1, prefix: \"demo\")\n");  // never the password
}

TEST_F(LoginClientTest, RedirectToAnotherOriginNeverCarriesThePassword) {
    LoginStub other;
    ASSERT_TRUE(other.listen());
    stub.redirectTo = other.url().toUtf8() + "/api/connect";
    EXPECT_EQ(login().outcome, Outcome::badReply) << console;
    EXPECT_EQ(stub.requests, 1);
    EXPECT_EQ(other.requests, 0);
}

// Only a redirect that keeps the POST and its form on the same server is
// followed; the others cannot carry a login.
TEST_F(LoginClientTest, RedirectsKeepThePostOrAreRefused) {
    const QByteArray absolute = stub.url().toUtf8() + "/api/v2/connect";
    struct Row {
        int status;
        QByteArray location;
        Outcome outcome;
    } rows[] = {
        {307, absolute, Outcome::accepted}, {308, "/api/v2/connect", Outcome::accepted},
        {301, absolute, Outcome::badReply}, {302, "/api/v2/connect", Outcome::badReply},
        {303, absolute, Outcome::badReply},
    };
    for (const Row& row : rows) {
        stub.redirectStatus = row.status;
        stub.redirectTo = row.location;
        stub.requestLines.clear();
        const auto result = login();
        EXPECT_EQ(result.outcome, row.outcome) << row.status << "\n" << console;
        if (row.outcome == Outcome::accepted) {
            EXPECT_EQ(stub.requestLines,
                      QList<QByteArray>({"POST /api/connect", "POST /api/v2/connect"}));
            EXPECT_TRUE(stub.lastBody.endsWith("&data[User][password]=secret"))
                << stub.lastBody.toStdString();
        } else {
            EXPECT_EQ(stub.requestLines, QList<QByteArray>{"POST /api/connect"});
            EXPECT_EQ(console, "the login was redirected (HTTP " + std::to_string(row.status) +
                                   ") where the form cannot follow\n");
        }
    }
}

TEST_F(LoginClientTest, TheLoginsConnectionIsClosedThoughTheServerKeepsIt) {
    ASSERT_TRUE(stub.keepAlive);
    EXPECT_EQ(login().outcome, Outcome::accepted);
    EXPECT_EQ(stub.lastConnectionHeader, "close");
    EXPECT_TRUE(waitUntil([&] { return stub.openConnections() == 0; }, 5000));
}

TEST_F(LoginClientTest, EndlessReplyIsCutOffAndMemoryStaysBounded) {
    std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak (VmHWM) here
    const long idleKiB = tgw::test::procStatus("VmRSS:");
    stub.endlessBodyBytes = qint64{1000} << 20;
    EXPECT_EQ(login().outcome, Outcome::badReply);
    EXPECT_EQ(console, "the login reply is larger than 64 KiB\n");
    const long peakKiB = tgw::test::procStatus("VmHWM:");
    std::printf("1000 MB reply: cut after %lld bytes sent; RSS idle %ld KiB, peak %ld KiB\n",
                stub.bodyBytesSent, idleKiB, peakKiB);
    EXPECT_LT(stub.bodyBytesSent, qint64{16} << 20);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed memory by design
    // Each login sets up its own network stack, and its thread reads a few MB
    // ahead before the cut reaches it: bounded, however long the reply.
    EXPECT_LT(peakKiB - idleKiB, 32 * 1024);
#endif
}
