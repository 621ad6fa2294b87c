// The whole road with real parts: window, HTTPS login stub, the controller's
// own session to mosquitto over TLS, a second session as the web service, and
// a stand-in adb.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include "mqtt/session.h"
#include "support/agent_config.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/recording_delegate.h"
#include "support/wait.h"
#include "ui/view_controller.h"

using namespace tgw::ui;
using tgw::app::AppDelegate;
using tgw::test::LoginStub;
using tgw::test::MosquittoBroker;
using tgw::test::waitUntil;

namespace {

const QString kRetrying = QStringLiteral("Verbinding verbroken, opnieuw verbinden...");

class LoginToBrokerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start());
        make(config());
    }
    tgw::app::Config config() { return tgw::test::agentConfig(stub, &broker); }
    // The agent with `settings`; its broker sessions made with `sessions` when given.
    void make(const tgw::app::Config& settings,
              std::optional<tgw::app::Config> sessions = std::nullopt) {
        window.reset();
        app.reset();
        app.emplace(settings, AppDelegate::Options{
                                  tgw::app::BrokerLink::sessionFactory(sessions.value_or(settings)),
                                  &tools,
                                  {},
                                  AppDelegate::kKeepAlive});
        window.emplace(*app);
        window->show();
    }

    void login() {
        QTest::keyClicks(window->emailField(), "tech@example.com");
        QTest::keyClicks(window->passwordField(), "pw");
        QSignalSpy finished(&*window, &ViewController::loginFinished);
        QTest::mouseClick(window->connectButton(), Qt::LeftButton);
        ASSERT_TRUE(finished.wait(10000));
    }

    // The status line shows `text` with the account still logged in.
    bool retries(const QString& text) { return shows(text) && window->accountPanel()->isVisible(); }
    bool shows(const QString& text) {
        return waitUntil([&] { return window->statusLabel()->text() == text; }, 15000);
    }

    tgw::process::Bundle tools{TGW_TEST_APP_RESOURCES};
    LoginStub stub;
    MosquittoBroker broker;
    std::optional<AppDelegate> app;
    std::optional<ViewController> window;
};

}  // namespace

TEST_F(LoginToBrokerTest, UnreachableBrokerIsRetried) {
    tgw::app::Config settings = config();
    settings.brokerPort = tgw::test::freeLoopbackPort();
    make(settings);
    login();
    // No connection was ever made: none was lost.
    EXPECT_TRUE(retries("Geen verbinding met de berichtenserver, opnieuw proberen..."))
        << window->statusLabel()->text().toStdString();
}

TEST_F(LoginToBrokerTest, UntrustedBrokerKeepsTheAccountAndNamesTheAdministrator) {
    // The stub and the broker share a certificate, so the login goes through
    // with the right CA and the broker is then met by sessions made with a CA
    // that did not sign it.
    tgw::app::Config otherCa = config();
    otherCa.caFile = MosquittoBroker::otherCaFile();
    make(config(), otherCa);
    login();
    EXPECT_TRUE(retries("Het certificaat van de berichtenserver wordt niet vertrouwd."))
        << window->statusLabel()->text().toStdString();
    EXPECT_TRUE(window->adviceLabel()->text().contains("beheerder"));
    EXPECT_TRUE(app->link().lastError().find("trusted: the system's certificate authorities and "
                                             "the CA file /") != std::string::npos)
        << app->link().lastError();
}

// The refusal is retried only after minutes, or at once when asked.
TEST_F(LoginToBrokerTest, RefusedBrokerCredentialsKeepTheAccountAndAreRetriedWhenAsked) {
    MosquittoBroker strict(MosquittoBroker::Options{true, "someone_else", "x"});
    ASSERT_TRUE(strict.start());
    tgw::app::Config settings = config();
    settings.brokerPort = strict.port();
    make(settings);
    login();
    EXPECT_TRUE(retries("De berichtenserver weigert de verbinding."))
        << window->statusLabel()->text().toStdString();
    EXPECT_TRUE(QRegularExpression("^sinds \\d\\d:\\d\\d, volgende poging om \\d\\d:\\d\\d:\\d\\d$")
                    .match(window->sinceLabel()->text())
                    .hasMatch())
        << window->sinceLabel()->text().toStdString();
    window->grab().save(TGW_SCREENSHOT_DIR "/window-refused-by-the-broker.png");
    const QDateTime refusedAt = app->link().lastErrorAt();
    ASSERT_TRUE(waitUntil([&] { return QDateTime::currentDateTimeUtc() > refusedAt; }));
    QTest::mouseClick(window->reconnectButton(), Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return app->link().lastErrorAt() > refusedAt; }, 10000));
    EXPECT_TRUE(window->accountPanel()->isVisible());
}

TEST_F(LoginToBrokerTest, CommandTravelsFromTheWebServiceToTheToolAndBack) {
    login();
    // The web login alone does not make the window say "Verbonden!".
    EXPECT_EQ(window->statusLabel()->text(), "Aan het verbinden...");
    EXPECT_FALSE(window->formPanel()->isVisible());
    ASSERT_TRUE(waitUntil([&] { return window->statusLabel()->text() == "Verbonden!"; }, 10000));

    tgw::test::RecordingDelegate webEvents;
    auto web = tgw::app::BrokerLink::sessionFactory(config())("web", "localhost", broker.port(),
                                                              webEvents);
    web->setUsername(AppDelegate::kUsername);
    web->setPassword(AppDelegate::kPassword);
    web->connect();
    ASSERT_TRUE(waitUntil([&] { return webEvents.has("connack accepted"); }, 10000));
    web->subscribe("tg/demo/tool/web");
    ASSERT_TRUE(waitUntil([&] { return webEvents.has("subscribed"); }));
    web->publish("tg/demo/tool", R"({"type":"android"})");
    ASSERT_TRUE(waitUntil([&] { return webEvents.count("message tg/demo/tool/web") == 2; }, 10000));
    EXPECT_EQ(webEvents.count("message tg/demo/tool/web {\"action\":\"data\""), 1);
    EXPECT_EQ(webEvents.count("message tg/demo/tool/web {\"action\":\"imei\""), 1);

    broker.stop();
    EXPECT_TRUE(retries(kRetrying)) << window->statusLabel()->text().toStdString();
    // Enter and clicks while retrying change nothing: the agent is back with the broker.
    QTest::keyClick(&*window, Qt::Key_Return);
    QTest::mouseClick(&*window, Qt::LeftButton);
    QTest::mouseClick(window->statusLabel(), Qt::LeftButton);
    ASSERT_TRUE(broker.start());
    EXPECT_TRUE(retries("Verbonden!")) << window->statusLabel()->text().toStdString();
}
