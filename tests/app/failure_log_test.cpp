// What an administrator finds in the diagnostic log when the agent cannot get
// online: one warning with the reason for each kind of failure.
#include <gtest/gtest.h>

#include "app/login/login_flow.h"
#include "mqtt/log_capture.h"
#include "support/app_harness.h"
#include "support/login_stub.h"

using namespace tgw::app;
using tgw::test::brokerConfig;
using tgw::test::LogCapture;
using tgw::test::MosquittoBroker;
using tgw::test::waitUntil;

namespace {

// The login's warnings: exactly one, never with the password.
class LoginLogTest : public ::testing::Test, public LoginFlow::Connection {
  protected:
    void stop() override {}
    void start(std::string, std::optional<BrokerCredentials>) override {}

    QString failWith(Config config) {
        LoginClient client(config);
        client.setTimeout(std::chrono::milliseconds(500));
        LoginFlow flow(client, *this);
        LogCapture log;
        bool done = false;
        flow.logIn("tech@example.com", "Secret-Pw-9", [&](LoginClient::Outcome) { done = true; });
        EXPECT_TRUE(waitUntil([&] { return done; }, 10000));
        const QStringList warnings = log.all().split('\n').filter(QRegularExpression("^warning"));
        EXPECT_EQ(warnings.size(), 1) << log.all().toStdString();
        EXPECT_FALSE(log.all().contains("Secret-Pw-9"));
        return warnings.value(0);
    }
    Config config() {
        Config c = Config::builtIn();
        c.webUrl = stub.url();
        c.caFile = MosquittoBroker::caFile();
        return c;
    }
    tgw::test::LoginStub stub;
};

TEST_F(LoginLogTest, EachLoginFailureIsOneWarningWithItsReason) {
    ASSERT_TRUE(stub.listen());
    stub.status = 401;
    stub.replyBody = R"({"success": 0, "prefix": "demo"})";
    const QString rejected = failWith(config());
    EXPECT_TRUE(rejected.contains("login failed: HTTP status 401, the web service turned"))
        << rejected.toStdString();

    stub.status = 200;
    stub.replyBody = "<html>";
    EXPECT_TRUE(failWith(config()).contains("login failed: HTTP status 200, an invalid reply"));

    stub.answers = false;
    EXPECT_TRUE(failWith(config()).contains("login failed: no answer within 0.5 s"));

    Config untrusted = config();
    untrusted.caFile = MosquittoBroker::otherCaFile();
    const QString tls = failWith(untrusted);
    EXPECT_TRUE(tls.contains("certificate subject \"") && tls.contains("issuer \""))
        << tls.toStdString();

    Config nobody = config();
    nobody.webUrl = QString("https://localhost:%1").arg(tgw::test::freeLoopbackPort());
    EXPECT_TRUE(failWith(nobody).contains("login failed: Connection refused"));
}

TEST(BrokerLogTest, RefusalAndUntrustedCertificateAreWarningsWithTheirReasons) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    LogCapture log;
    Config wrong = brokerConfig(broker);
    wrong.brokerPassword = "wrong";
    AppDelegate refused(wrong);
    refused.start("p1");
    ASSERT_TRUE(waitUntil([&] { return refused.state() == ConnectionState::refused; }, 10000));
    EXPECT_TRUE(log.has("warning",
                        "the broker refused the connection: CONNACK 5 (notAuthorized) "
                        "for user tanglow_web (built-in default)"))
        << log.all().toStdString();
    EXPECT_TRUE(refused.status()["last_error"].toString().contains("CONNACK 5"));

    AppDelegate untrusted(brokerConfig(broker, MosquittoBroker::otherCaFile()));
    untrusted.start("p1");
    ASSERT_TRUE(waitUntil(
        [&] { return log.has("warning", "shows an untrusted certificate subject"); }, 10000))
        << log.all().toStdString();
    EXPECT_EQ(untrusted.state(), ConnectionState::untrusted);
}

}  // namespace
