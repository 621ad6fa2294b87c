// The login window with real widgets against a local HTTPS login stub.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "support/fake_client.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"
#include "ui/user_connection.h"
#include "ui/view_controller.h"

using namespace tgw::ui;
using tgw::app::AppDelegate;
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
    WindowTest()
        : app([this](const std::string& id, const std::string& h, uint16_t p,
                     tgw::mqtt::MqttDelegate&) {
              auto c = std::make_unique<tgw::test::FakeClient>(id, h, p);
              client = c.get();
              ++connects;
              return c;
          }),
          window(app) {
        EXPECT_TRUE(stub.listen());
        qputenv("TGW_WEB_URL", stub.url().toUtf8());
        qputenv("TGW_CA_FILE", TGW_TEST_DATA_DIR "/ca.crt");
        window.show();
    }
    ~WindowTest() override {
        qunsetenv("TGW_WEB_URL");
        qunsetenv("TGW_CA_FILE");
    }

    FormState state() const {
        return {window.statusLabel()->text(), window.emailField()->isEnabled(),
                window.passwordField()->isEnabled(), window.connectButton()->isEnabled()};
    }

    // Types the credentials, clicks the button and waits for the login to finish.
    std::string login(const QString& email, const QString& password) {
        window.emailField()->clear();
        window.passwordField()->clear();
        QTest::keyClicks(window.emailField(), email);
        QTest::keyClicks(window.passwordField(), password);
        QSignalSpy finished(&window, &ViewController::loginFinished);
        testing::internal::CaptureStdout();
        QTest::mouseClick(window.connectButton(), Qt::LeftButton);
        atClick = state();
        const bool done = finished.wait(10000);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(done) << out;
        return out;
    }

    LoginStub stub;
    tgw::test::FakeClient* client = nullptr;
    int connects = 0;
    AppDelegate app;
    ViewController window;
    FormState atClick;
};

const FormState kIdle{"", true, true, true};
const FormState kLoggingIn{"Aan het verbinden...", false, false, false};
const FormState kLoggedIn{"Verbonden!", false, false, false};
const FormState kRejected{"Ingevoerde gegevens zijn onjuist.", true, true, true};
const FormState kLost{"Verbinding verbroken", true, true, true};
const FormState kNoServer{"Geen verbinding met de server.", true, true, true};
const FormState kBadReply{"Ongeldig antwoord van de server.", true, true, true};

}  // namespace

TEST_F(WindowTest, AcceptedLoginHandsThePrefixToTheController) {
    EXPECT_EQ(state(), kIdle);
    EXPECT_EQ(app.viewContrl, &window);
    EXPECT_TRUE(window.passwordField()->echoMode() == QLineEdit::Password);
    const std::string out = login("tech@example.com", "secret");
    EXPECT_EQ(atClick, kLoggingIn);
    EXPECT_EQ(state(), kLoggedIn);
    EXPECT_EQ(app.prefix, "demo");
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
    window.disconnect();  // the form opens again
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
    stub.status = 401;  // the status is not looked at: a reply that decodes counts
    login("a@b.c", "wrong");
    EXPECT_EQ(state(), kRejected);
    EXPECT_EQ(app.prefix, "");
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
    EXPECT_EQ(connects, 0);
    EXPECT_EQ(app.prefix, "");
}

TEST_F(WindowTest, UnreachableOrUntrustedServerReopensTheForm) {
    qputenv("TGW_WEB_URL",
            QByteArray("https://localhost:") + QByteArray::number(tgw::test::freeLoopbackPort()));
    std::string out = login("a@b.c", "pw");
    EXPECT_EQ(state(), kNoServer);
    EXPECT_FALSE(out.empty());  // the error's description

    qputenv("TGW_WEB_URL", stub.url().toUtf8());
    qunsetenv("TGW_CA_FILE");  // the stub's certificate is then not trusted
    login("a@b.c", "pw");
    EXPECT_EQ(state(), kNoServer);
    EXPECT_EQ(stub.requests, 0);
    EXPECT_EQ(connects, 0);
}

TEST_F(WindowTest, LostConnectionOffersTheLoginAgain) {
    login("a@b.c", "pw");
    app.didDisconnect(*client, std::nullopt);
    EXPECT_EQ(state(), kLost);
    stub.replyBody = R"({"success": 1, "prefix": "second"})";
    login("a@b.c", "pw");
    EXPECT_EQ(state(), kLoggedIn);
    EXPECT_EQ(app.prefix, "second");
    EXPECT_EQ(connects, 2);
}

TEST_F(WindowTest, KeyboardEnterLogsInAndTabMovesThroughTheForm) {
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(QApplication::focusWidget(), window.emailField());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window.passwordField());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window.connectButton());

    QSignalSpy finished(&window, &ViewController::loginFinished);
    testing::internal::CaptureStdout();
    QTest::keyClick(window.passwordField(), Qt::Key_Return);
    EXPECT_TRUE(finished.wait(10000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(state(), kLoggedIn);
}

TEST_F(WindowTest, DialogsHaveTheirTitlesAndButtons) {
    QString title, buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    auto answer = [&](const QString& press) {
        QTimer::singleShot(0, [&, press] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            icon = box->icon();
            buttons.clear();
            for (QAbstractButton* b : box->buttons()) buttons += b->text() + " ";
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == press) b->click();
            }
        });
    };
    answer("OK");
    EXPECT_TRUE(window.dialog("tekst"));
    EXPECT_EQ(title, "Melding");
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(buttons, "OK ");

    answer("Cancel");
    EXPECT_FALSE(window.dialogOKCancel("Vraag?", "tekst"));
    EXPECT_EQ(title, "Vraag?");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(buttons.contains("OK") && buttons.contains("Cancel"));
    answer("OK");
    EXPECT_TRUE(window.dialogOKCancel("Vraag?", "tekst"));
}
