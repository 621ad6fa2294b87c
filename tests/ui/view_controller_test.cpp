// The login window with real widgets against a local HTTPS login stub.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "support/agent_config.h"
#include "support/fake_client.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"
#include "ui/view_controller.h"

using namespace tgw::ui;
using tgw::app::AppDelegate;
using tgw::app::ConnectionState;
using tgw::test::LoginStub;
using tgw::test::waitUntil;

namespace {

struct FormState {
    QString status;
    bool email, password, button;
    bool operator==(const FormState&) const = default;
};

void PrintTo(const FormState& s, std::ostream* os) {
    *os << '"' << s.status.toStdString() << "\" " << s.email << s.password << s.button;
}

class WindowTest : public ::testing::Test {
  protected:
    WindowTest() { make(tgw::test::agentConfig(stub)); }

    // A new controller and window with `config`; the sessions are fakes.
    void make(tgw::app::Config config) {
        config.presenceEnabled = false;  // the status messages have tests of their own
        window.reset();
        app.reset();
        auto factory = [this](const std::string& id, const std::string& h, uint16_t p,
                              tgw::mqtt::MqttDelegate&) {
            auto c = std::make_unique<tgw::test::FakeClient>(id, h, p);
            client = c.get();
            ++connects;
            return c;
        };
        app.emplace(config, AppDelegate::Options{factory, nullptr, {}, AppDelegate::kKeepAlive});
        window.emplace(*app);
        window->show();
    }

    FormState state() const {
        return {window->statusLabel()->text(), window->emailField()->isEnabled(),
                window->passwordField()->isEnabled(), window->connectButton()->isEnabled()};
    }

    // Types the credentials, clicks the button and waits for the login to finish.
    std::string login(const QString& email, const QString& password) {
        window->emailField()->clear();
        window->passwordField()->clear();
        QTest::keyClicks(window->emailField(), email);
        QTest::keyClicks(window->passwordField(), password);
        QSignalSpy finished(&*window, &ViewController::loginFinished);
        testing::internal::CaptureStdout();
        QTest::mouseClick(window->connectButton(), Qt::LeftButton);
        atClick = state();
        const bool done = finished.wait(10000);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(done) << out;
        EXPECT_EQ(window->passwordField()->text(), "");  // however the login ended
        return out;
    }

    // The focus returns to the e-mail field when the form opens again.
    bool emailFieldHasFocus() const { return window->focusWidget() == window->emailField(); }

    tgw::test::FakeClient* client = nullptr;
    int connects = 0;
    LoginStub stub;
    std::optional<AppDelegate> app;
    std::optional<ViewController> window;
    FormState atClick;
};

const FormState kIdle{"", true, true, true};
const FormState kLoggingIn{"Aan het verbinden...", false, false, false};
const FormState kLoggedIn{"Verbonden!", false, false, false};
const FormState kRejected{"Ingevoerde gegevens zijn onjuist.", true, true, true};
const FormState kLost{"Verbinding verbroken", true, true, true};
const FormState kRetrying{"Verbinding verbroken, opnieuw verbinden...", true, true, true};
const FormState kRefused{"De berichtenserver weigert de verbinding.", true, true, true};
const FormState kUntrusted{"Het certificaat van de berichtenserver wordt niet vertrouwd.", true,
                           true, true};
const FormState kNoServer{"Geen verbinding met de server.", true, true, true};
const FormState kBadReply{"Ongeldig antwoord van de server.", true, true, true};

}  // namespace

TEST_F(WindowTest, AcceptedLoginHandsThePrefixToTheController) {
    EXPECT_EQ(state(), kIdle);
    EXPECT_TRUE(window->passwordField()->echoMode() == QLineEdit::Password);
    const std::string out = login("tech@example.com", "secret");
    EXPECT_EQ(atClick, kLoggingIn);
    EXPECT_EQ(state(), kLoggingIn);  // until the controller reports the subscription
    EXPECT_EQ(app->link().prefix(), "demo");
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(stub.lastPath, "/api/connect");
    EXPECT_EQ(out, "UserConnection(success: 1, prefix: \"demo\")\n");
    EXPECT_EQ(out.find("secret"), std::string::npos);  // the password is never written
}

TEST_F(WindowTest, FormValuesArePercentEncoded) {
    login("a+b@example.com", "p&w=1+%");
    EXPECT_EQ(
        stub.lastBody.toStdString(),
        "_method=POST&data[User][email]=a%2Bb%40example.com&data[User][password]=p%26w%3D1%2B%25");
    EXPECT_EQ(stub.lastContentType.toStdString(), "application/x-www-form-urlencoded");
    window->showDisconnected();  // the form opens again
    login("", "");
    EXPECT_EQ(stub.lastBody.toStdString(), "_method=POST&data[User][email]=&data[User][password]=");
}

TEST_F(WindowTest, RejectedCredentialsReopenTheForm) {
    for (const char* reply :
         {R"({"success": 0, "prefix": "x"})", R"({"success": 2, "prefix": "x"})"}) {
        stub.replyBody = reply;
        login("a@b.c", "wrong");
        EXPECT_EQ(state(), kRejected) << reply;
    }
    stub.status = 401;  // how a web service may also turn credentials down
    login("a@b.c", "wrong");
    EXPECT_EQ(state(), kRejected);
    EXPECT_TRUE(emailFieldHasFocus());
    EXPECT_EQ(app->link().prefix(), "");
    EXPECT_EQ(connects, 0);
}

TEST_F(WindowTest, RepliesThatDoNotDecodeOrWouldWidenTheTopicsReopenTheForm) {
    const char* replies[] = {
        R"({"success": 1})",
        R"({"prefix": "x"})",
        R"({"success": "1", "prefix": "x"})",
        R"({"success": 1.5, "prefix": "x"})",
        R"({"success": 1, "prefix": 7})",
        R"(<html>busy</html>)",
        R"({"success": 1, "prefix": "a/#"})",
        R"({"success": 1, "prefix": "+"})",
        "{\"success\": 1, \"prefix\": \"a\\u0000b\"}",
    };
    for (const char* reply : replies) {
        stub.replyBody = reply;
        login("a@b.c", "pw");
        EXPECT_EQ(state(), kBadReply) << reply;
    }
    EXPECT_TRUE(emailFieldHasFocus());
    EXPECT_EQ(connects, 0);
    EXPECT_EQ(app->link().prefix(), "");
}

TEST_F(WindowTest, UnreachableOrUntrustedServerReopensTheForm) {
    tgw::app::Config config = tgw::test::agentConfig(stub);
    config.webUrl = "https://localhost:" + QString::number(tgw::test::freeLoopbackPort());
    make(config);
    std::string out = login("a@b.c", "pw");
    EXPECT_EQ(state(), kNoServer);
    EXPECT_FALSE(out.empty());  // the error's description

    config.webUrl = stub.url();
    config.caFile.clear();  // the stub's certificate is then not trusted
    make(config);
    login("a@b.c", "pw");
    EXPECT_EQ(state(), kNoServer);
    EXPECT_EQ(stub.requests, 0);
    EXPECT_EQ(connects, 0);
}

TEST_F(WindowTest, SilentServerGivesTheFormBackAtTheTimeLimit) {
    stub.answers = false;
    app->loginClient().setTimeout(std::chrono::milliseconds(300));
    QElapsedTimer since;
    since.start();
    // A state of the connection that the new login replaces is not shown.
    FormState afterLateReport;
    QTimer::singleShot(50, [&] {
        window->connectionStateChanged(ConnectionState::disconnected);
        afterLateReport = state();
    });
    const std::string out = login("a@b.c", "pw");
    EXPECT_GE(since.elapsed(), 300);
    EXPECT_EQ(afterLateReport, kLoggingIn);
    EXPECT_EQ(out, "the login request did not finish within 0.3 s\n");
    EXPECT_EQ(state(), kNoServer);
    EXPECT_TRUE(emailFieldHasFocus());
    EXPECT_EQ(connects, 0);
}

TEST_F(WindowTest, EachConnectionStateShowsItsTextAndTheFocusReturnsToTheForm) {
    login("a@b.c", "pw");
    window->connectionStateChanged(ConnectionState::connecting);
    EXPECT_EQ(state(), kLoggingIn);
    const std::pair<ConnectionState, FormState> ends[] = {
        {ConnectionState::retrying, kRetrying},
        {ConnectionState::refused, kRefused},
        {ConnectionState::untrusted, kUntrusted},
        {ConnectionState::disconnected, kLost},
    };
    for (const auto& [reported, shown] : ends) {
        window->connectionStateChanged(ConnectionState::connected);
        EXPECT_EQ(state(), kLoggedIn);
        EXPECT_FALSE(emailFieldHasFocus());
        window->connectionStateChanged(reported);
        EXPECT_EQ(state(), shown);
        EXPECT_TRUE(emailFieldHasFocus()) << shown.status.toStdString();
    }

    // While retrying, each new attempt leaves the form usable and the typing alone.
    window->connectionStateChanged(ConnectionState::retrying);
    window->passwordField()->setFocus();
    window->connectionStateChanged(ConnectionState::connecting);
    window->connectionStateChanged(ConnectionState::retrying);
    EXPECT_EQ(state(), kRetrying);
    EXPECT_EQ(window->focusWidget(), window->passwordField());
}

TEST_F(WindowTest, NewLoginWhileRetryingStartsAgainWithTheNewPrefix) {
    login("a@b.c", "pw");
    window->connectionStateChanged(ConnectionState::retrying);
    stub.replyBody = R"({"success": 1, "prefix": "second"})";
    login("a@b.c", "pw");
    EXPECT_EQ(atClick, kLoggingIn);
    EXPECT_EQ(state(), kLoggingIn);
    EXPECT_EQ(app->link().prefix(), "second");
    EXPECT_EQ(connects, 2);
}

TEST_F(WindowTest, ClosingTheWindowShutsTheControllerDown) {
    login("a@b.c", "pw");
    app->link().didConnectAck(*client, tgw::mqtt::MqttConnAck::accepted);
    app->link().didSubscribeTopic(*client, "tg/" + app->link().prefix() + "/tool");
    ASSERT_EQ(window->statusLabel()->text(), "Verbonden!");
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(client->disconnects, 1);
}

TEST_F(WindowTest, BrokerCredentialsFromTheReplyReachTheSession) {
    stub.replyBody =
        R"({"success": 1, "prefix": "demo", "mqtt_username": "acct", "mqtt_password": "pw2"})";
    login("a@b.c", "pw");
    EXPECT_EQ(client->username(), "acct");
    EXPECT_EQ(client->password(), "pw2");
}

TEST_F(WindowTest, DevicePresenceHasALineOfItsOwn) {
    EXPECT_EQ(window->presenceLabel()->text(), "");
    window->showDevicePresence({"Telefoon: Pixel 7 (Android, 0123)", "Telefoon: 00008 (iPhone)"});
    EXPECT_EQ(window->presenceLabel()->text(),
              "Telefoon: Pixel 7 (Android, 0123)\nTelefoon: 00008 (iPhone)");
    EXPECT_EQ(state(), kIdle);
    window->showDevicePresence({});
    EXPECT_EQ(window->presenceLabel()->text(), "");
}

TEST_F(WindowTest, KeyboardEnterLogsInAndTabMovesThroughTheForm) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&*window));
    EXPECT_EQ(QApplication::focusWidget(), window->emailField());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window->passwordField());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window->connectButton());

    QSignalSpy finished(&*window, &ViewController::loginFinished);
    testing::internal::CaptureStdout();
    QTest::keyClick(window->passwordField(), Qt::Key_Return);
    EXPECT_TRUE(finished.wait(10000));
    EXPECT_EQ(state(), kLoggingIn);

    // After a loss the keyboard alone logs in again.
    window->connectionStateChanged(ConnectionState::retrying);
    EXPECT_EQ(QApplication::focusWidget(), window->emailField());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(finished.wait(10000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(connects, 2);
}

TEST_F(WindowTest, DialogsHaveTheirTitlesAndButtons) {
    QString title, text, informative, buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    auto answer = [&](const QString& press) {
        QTimer::singleShot(0, [&, press] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            text = box->text();
            informative.clear();
            for (auto* label : box->findChildren<QLabel*>()) {
                if (label->isVisible() && label->text() == box->informativeText()) {
                    informative = label->text();  // shown, not only set
                }
            }
            icon = box->icon();
            buttons.clear();
            for (QAbstractButton* b : box->buttons()) buttons += b->text() + " ";
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == press) b->click();
            }
        });
    };
    answer("OK");
    EXPECT_TRUE(window->dialog("tekst"));
    EXPECT_EQ(title, "Melding");
    EXPECT_EQ(text, "Melding");
    EXPECT_EQ(informative, "tekst");
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(buttons, "OK ");

    answer("Cancel");
    EXPECT_FALSE(window->dialogOKCancel("Vraag?", "tekst"));
    EXPECT_EQ(title, "Vraag?");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(buttons.contains("OK") && buttons.contains("Cancel"));
    answer("OK");
    EXPECT_TRUE(window->dialogOKCancel("Vraag?", "tekst"));
}
