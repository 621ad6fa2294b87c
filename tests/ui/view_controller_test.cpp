// The login window with real widgets against a local HTTPS login stub.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "support/agent_config.h"
#include "support/fake_client.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"
#include "ui/phone_lines.h"
#include "ui/tray.h"
#include "ui/view_controller.h"

using namespace tgw::ui;
using tgw::app::AppDelegate;
using tgw::app::ConnectionState;
using tgw::app::DeviceInfo;
using tgw::app::ToolProblem;
using tgw::test::LoginStub;
using tgw::test::waitUntil;

namespace {

const DeviceInfo kPixel{DeviceInfo::Platform::android, "0123", "device", "Pixel 7"};

// The status line and which panel shows: the login form or the account.
struct FormState {
    QString status;
    bool form;
    bool operator==(const FormState&) const = default;
};

void PrintTo(const FormState& s, std::ostream* os) {
    *os << '"' << s.status.toStdString() << "\" " << (s.form ? "form" : "account");
}

// A keyring in memory, for the flow around it.
struct MemoryStore : tgw::app::CredentialStore {
    std::optional<tgw::app::StoredLogin> kept;
    bool keyring = true;
    void load(Loaded done) override {
        const Found found = !keyring ? Found::noKeyring : kept ? Found::login : Found::none;
        const tgw::app::StoredLogin login = kept.value_or(tgw::app::StoredLogin{});
        QTimer::singleShot(0, [=] { done(found, login); });
    }
    void save(const tgw::app::StoredLogin& login, Done done) override { kept = login, done(true); }
    void forget(Done done) override { kept.reset(), done(true); }
};

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
        EXPECT_NE(window->formPanel()->isVisible(), window->accountPanel()->isVisible());
        return {window->statusLabel()->text(), window->formPanel()->isVisible()};
    }
    // Logged in and subscribed, as the link reports it.
    void connect() {
        login("a@b.c", "pw");
        app->link().didConnectAck(*client, tgw::mqtt::MqttConnAck::accepted);
        app->link().didSubscribeTopic(*client, "tg/" + app->link().prefix() + "/tool");
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

const FormState kIdle{"", true};
const FormState kLoggingIn{"Aan het verbinden...", false};
const FormState kLoggedIn{"Verbonden!", false};
const FormState kRejected{"Ingevoerde gegevens zijn onjuist.", true};
const FormState kLost{"Verbinding verbroken", true};
const FormState kRetrying{"Verbinding verbroken, opnieuw verbinden...", false};
const FormState kNeverReached{"Geen verbinding met de berichtenserver, opnieuw proberen...", false};
const FormState kRefused{"De berichtenserver weigert de verbinding.", false};
const FormState kUntrusted{"Het certificaat van de berichtenserver wordt niet vertrouwd.", false};
const FormState kNoServer{"Geen verbinding met de server.", true};
const FormState kBadReply{"Ongeldig antwoord van de server.", true};

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
    // The address stays; the password is asked again.
    EXPECT_EQ(window->emailField()->text(), "a@b.c");
    EXPECT_EQ(window->focusWidget(), window->passwordField());
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
    EXPECT_EQ(state(), (FormState{"Het certificaat van de server wordt niet vertrouwd.", true}));
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

TEST_F(WindowTest, EachConnectionStateShowsItsPanelAndText) {
    login("a@b.c", "pw");
    window->connectionStateChanged(ConnectionState::connecting);
    EXPECT_EQ(state(), kLoggingIn);
    EXPECT_EQ(window->accountLabel()->text(), "Aangemeld als a@b.c");
    EXPECT_FALSE(window->sinceLabel()->isVisible());
    // A first attempt that fails never had a connection to lose.
    window->connectionStateChanged(ConnectionState::retrying);
    EXPECT_EQ(state(), kNeverReached);
    window->connectionStateChanged(ConnectionState::connecting);
    EXPECT_EQ(state(), kNeverReached);
    window->connectionStateChanged(ConnectionState::connected);
    EXPECT_EQ(state(), kLoggedIn);
    EXPECT_TRUE(window->sinceLabel()->isVisible());
    EXPECT_TRUE(QRegularExpression("^sinds \\d\\d:\\d\\d$")
                    .match(window->sinceLabel()->text())
                    .hasMatch());
    window->connectionStateChanged(ConnectionState::retrying);
    EXPECT_EQ(state(), kRetrying);
    window->connectionStateChanged(ConnectionState::connecting);
    EXPECT_EQ(state(), kRetrying);  // every attempt keeps saying so
    EXPECT_FALSE(window->sinceLabel()->isVisible());

    // A fault on the server's side keeps the account and says who must act.
    for (const auto& [reported, shown] :
         {std::pair{ConnectionState::refused, kRefused}, {ConnectionState::untrusted, kUntrusted}}) {
        QSignalSpy needed(&*window, &ViewController::technicianNeeded);
        window->connectionStateChanged(reported);
        EXPECT_EQ(state(), shown);
        EXPECT_EQ(needed.count(), 1);
        EXPECT_TRUE(window->adviceLabel()->text().contains("beheerder"));
        EXPECT_TRUE(window->reconnectButton()->isVisible());
    }
    window->connectionStateChanged(ConnectionState::connected);
    EXPECT_FALSE(window->reconnectButton()->isVisible());
    window->connectionStateChanged(ConnectionState::disconnected);
    EXPECT_EQ(state(), kLost);
    EXPECT_TRUE(emailFieldHasFocus());
    window->connectionStateChanged(ConnectionState::connected);  // ignored: logged out
    EXPECT_EQ(state(), kLost);
}

TEST_F(WindowTest, WhileRetryingNeitherEnterNorClicksEndTheRetrying) {
    connect();
    window->connectionStateChanged(ConnectionState::retrying);
    for (QWidget* w :
         {static_cast<QWidget*>(window->emailField()),
          static_cast<QWidget*>(window->passwordField()), static_cast<QWidget*>(&*window)})
        QTest::keyClick(w, Qt::Key_Return);
    QTest::mouseClick(&*window, Qt::LeftButton);
    QTest::mouseClick(window->statusLabel(), Qt::LeftButton);
    EXPECT_EQ(state(), kRetrying);
    EXPECT_EQ(stub.requests, 1);
    EXPECT_EQ(connects, 1);
}

TEST_F(WindowTest, AfmeldenEndsTheConnectionAndEmptiesTheForm) {
    MemoryStore store;
    app->loginFlow().setCredentialStore(&store);
    window->rememberBox()->setEnabled(true);
    window->rememberBox()->setChecked(true);
    connect();
    ASSERT_TRUE(store.kept);
    EXPECT_EQ(store.kept->email, "a@b.c");
    QTest::mouseClick(window->logoutButton(), Qt::LeftButton);
    EXPECT_EQ(state(), kIdle);
    EXPECT_EQ(window->emailField()->text(), "");
    EXPECT_FALSE(window->rememberBox()->isChecked());
    EXPECT_FALSE(store.kept);
    EXPECT_EQ(app->link().client(), nullptr);  // no connection, no retrying
    EXPECT_EQ(app->state(), ConnectionState::disconnected);
    EXPECT_EQ(app->status()["state"], "logged out");
    EXPECT_EQ(app->status()["prefix"], "");
    app->loginFlow().setCredentialStore(nullptr);

    // A failed login is the last error, with the web address.
    stub.replyBody = R"({"success": 0, "prefix": "x"})";
    login("a@b.c", "wrong");
    EXPECT_EQ(app->status()["last_error"].toString().toStdString(),
              "login at " + stub.url().toStdString() +
                  " failed: HTTP status 200, the web service turned the e-mail address and "
                  "password down");
}

// With the web service away at start, a kept login waits in the account panel
// (never an empty password field) and goes through once the service is back.
TEST_F(WindowTest, AKeptLoginIsTriedAgainUntilTheWebServiceAnswers) {
    const quint16 port = tgw::test::freeLoopbackPort();
    tgw::app::Config config = tgw::test::agentConfig(stub);
    config.webUrl = "https://localhost:" + QString::number(port);
    make(config);
    tgw::app::ReconnectDelays quick;
    quick.first = quick.base = std::chrono::milliseconds(100);
    app->loginFlow().setRetryDelays(quick);
    MemoryStore store;
    store.kept = tgw::app::StoredLogin{"kept@b.c", "pw"};
    app->loginFlow().setCredentialStore(&store);
    bool formShown = false;
    QObject::connect(&*window, &ViewController::stateShown,
                     [&] { formShown |= window->formPanel()->isVisible(); });
    QSignalSpy finished(&*window, &ViewController::loginFinished);
    testing::internal::CaptureStdout();
    window->restoreLogin([](bool) {});
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(state(), (FormState{"Geen verbinding met de server.", false}));
    EXPECT_TRUE(window->sinceLabel()->text().startsWith("volgende poging om "));
    EXPECT_TRUE(window->reconnectButton()->isVisible());
    window->grab().save(TGW_SCREENSHOT_DIR "/window-kept-login-waiting.png");
    ASSERT_TRUE(finished.wait(10000));  // tried again by itself
    LoginStub back;  // the web service, back on its address
    ASSERT_TRUE(back.listen(port));
    EXPECT_TRUE(waitUntil([&] { return connects == 1; }, 10000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(state(), kLoggingIn);
    EXPECT_EQ(back.requests, 1);
    EXPECT_FALSE(formShown);
    EXPECT_TRUE(store.kept);  // neither forgotten nor saved again
    app->loginFlow().setCredentialStore(nullptr);
}

TEST_F(WindowTest, ARememberedLoginStartsByItselfAndOneTurnedDownIsForgotten) {
    MemoryStore store;
    app->loginFlow().setCredentialStore(&store);
    std::optional<bool> started;
    window->restoreLogin([&](bool s) { started = s; });
    ASSERT_TRUE(waitUntil([&] { return started.has_value(); }, 5000));
    EXPECT_FALSE(*started);
    EXPECT_TRUE(window->rememberBox()->isEnabled());

    store.kept = tgw::app::StoredLogin{"kept@b.c", "pw"};
    QSignalSpy finished(&*window, &ViewController::loginFinished);
    testing::internal::CaptureStdout();
    window->restoreLogin([&](bool s) { started = s; });
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_TRUE(*started);
    EXPECT_EQ(state(), kLoggingIn);
    EXPECT_EQ(window->accountLabel()->text(), "Aangemeld als kept@b.c");
    EXPECT_TRUE(stub.lastBody.contains("kept%40b.c"));

    stub.replyBody = R"({"success": 0, "prefix": "x"})";
    window->restoreLogin([](bool) {});
    ASSERT_TRUE(finished.wait(10000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(state(), kRejected);
    EXPECT_FALSE(store.kept);

    store.keyring = false;
    window->restoreLogin([](bool) {});
    ASSERT_TRUE(waitUntil([&] { return !window->rememberBox()->isEnabled(); }, 5000));
    EXPECT_TRUE(window->rememberBox()->toolTip().contains("Secret Service"));
    app->loginFlow().setCredentialStore(nullptr);
}

TEST_F(WindowTest, NotificationsComeOncePerChangeAndALongLossIsTold) {
    QSignalSpy told(&*window, &ViewController::notificationRequested);
    window->setLostNoticeDelay(std::chrono::milliseconds(50));
    connect();
    window->connectionStateChanged(ConnectionState::retrying);
    window->connectionStateChanged(ConnectionState::connecting);
    window->connectionStateChanged(ConnectionState::retrying);
    EXPECT_EQ(told.count(), 0);
    ASSERT_TRUE(told.wait(2000));
    EXPECT_TRUE(told.last().at(0).toString().startsWith("Al meer dan een minuut"));
    window->connectionStateChanged(ConnectionState::connected);
    EXPECT_EQ(told.last().at(0).toString(), "Weer verbonden met de berichtenserver.");
    window->connectionStateChanged(ConnectionState::retrying);  // short: nothing
    window->connectionStateChanged(ConnectionState::connected);
    window->connectionStateChanged(ConnectionState::refused);
    EXPECT_EQ(told.count(), 3);
    EXPECT_EQ(told.last().at(0).toString(), kRefused.status);
}

TEST_F(WindowTest, ClosingHidesWithATrayAndAsksWithoutOne) {
    connect();
    auto answer = [](const QString& press) {
        QTimer::singleShot(0, [press] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->text(), "Afsluiten?");
            EXPECT_EQ(box->informativeText(),
                      "De webdienst kan deze telefoon dan niet meer bereiken.");
            for (QAbstractButton* b : box->buttons())
                if (b->text() == press) b->click();
        });
    };
    answer("Annuleren");
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(client->disconnects, 0);

    QSignalSpy told(&*window, &ViewController::notificationRequested);
    window->setClosingHides(true);
    window->close();
    window->show();
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(told.count(), 1);  // the first time only
    EXPECT_EQ(client->disconnects, 0);

    window->setClosingHides(false);
    window->show();
    answer("Afsluiten");
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(client->disconnects, 1);
}

// Every text of every state is shown whole at the window's size; the window
// in each state goes to the screenshots.
TEST_F(WindowTest, EveryTextIsShownWholeInEachState) {
    tgw::app::DevicePresence phones;
    phones.devices.push_back({DeviceInfo::Platform::android, "R58M", "no permissions", {}});
    for (int i = 0; i < 10; ++i)
        phones.devices.push_back({{}, QString("0123456789ABCDEF%1").arg(i), "device", {}});
    phones.toolProblems.push_back({"idevice_id", ToolProblem::Kind::failed, "ERROR: x"});
    window->showDevicePresence(phones);
    EXPECT_TRUE(window->presenceLabel()->text().contains(
        "zie de installatie-instructies (man tgw-mobile-tool)\n"));
    auto whole = [&](const char* name) {
        QApplication::processEvents();
        for (QLabel* label : window->findChildren<QLabel*>()) {
            if (!label->isVisible() || !label->wordWrap()) continue;
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << name << ": " << label->text().toStdString();
            EXPECT_LE(label->geometry().bottom(), window->height()) << name;
        }
        // No more height than the texts need.
        EXPECT_LE(window->height(), window->layout()->totalHeightForWidth(window->width())) << name;
        window->grab().save(TGW_SCREENSHOT_DIR "/window-" + QString(name) + ".png");
    };
    QDir().mkpath(TGW_SCREENSHOT_DIR);
    whole("logged-out");
    login("a.very.long.address.of.a.technician@example.com", "pw");
    whole("logging-in");
    window->connectionStateChanged(ConnectionState::retrying);
    whole("never-reached");
    window->connectionStateChanged(ConnectionState::connected);
    whole("connected");
    window->connectionStateChanged(ConnectionState::retrying);
    whole("retrying");
    window->connectionStateChanged(ConnectionState::untrusted);
    whole("untrusted");
    window->connectionStateChanged(ConnectionState::refused);
    whole("refused");
    window->logOut();
    stub.replyBody = R"({"success": 0, "prefix": "x"})";
    login("a@b.c", "wrong");
    whole("rejected");
}

TEST(TrayTest, TheToolTipNamesStateAccountAndPhonesAndEachLookHasItsIcon) {
    EXPECT_EQ(trayToolTip("Verbonden!", "a@b.c", {"Telefoon: Pixel 7 (Android, 0123)"}),
              "TGW Mobile Tool\nVerbonden!\na@b.c\nTelefoon: Pixel 7 (Android, 0123)");
    EXPECT_EQ(trayToolTip("", "", {}), "TGW Mobile Tool\nNiet aangemeld");
    const QImage connected = trayIcon(TrayLook::connected).pixmap(32).toImage();
    const QImage attention = trayIcon(TrayLook::attention).pixmap(32).toImage();
    EXPECT_EQ(connected.size(), QSize(32, 32));
    EXPECT_NE(connected, attention);
    EXPECT_NE(connected, trayIcon(TrayLook::noPhone).pixmap(32).toImage());
    EXPECT_NE(connected.pixelColor(8, 8).alpha(), 0);  // the program's icon under the badge
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
    window->showDevicePresence(
        {{kPixel, {DeviceInfo::Platform::apple, "00008", "paired", {}}}, {}});
    EXPECT_EQ(window->presenceLabel()->text(),
              "Telefoon: Pixel 7 (Android, 0123)\nTelefoon: 00008 (iPhone)");
    EXPECT_EQ(state(), kIdle);
    window->showDevicePresence({});
    EXPECT_EQ(window->presenceLabel()->text(), "Geen telefoon aangesloten");
}

TEST(PhoneLines, EachPhoneAndEachToolProblemInTheWindowsWords) {
    using P = DeviceInfo::Platform;
    const std::pair<DeviceInfo, const char*> rows[] = {
        {kPixel, "Telefoon: Pixel 7 (Android, 0123)"},
        {{P::android, "R58", "unauthorized", {}},
         "Telefoon: R58 (Android) - sta USB-foutopsporing toe op de telefoon"},
        {{P::android, "9A", "no permissions", {}},
         "Telefoon: 9A (Android) - geen toegang tot USB; zie de installatie-instructies (man "
         "tgw-mobile-tool)"},
        {{P::android, "ZX", "offline", {}}, "Telefoon: ZX (Android) - niet bereikbaar (offline)"},
        {{P::android, "ZX", "recovery", {}}, "Telefoon: ZX (Android) - recovery"},
        {{P::apple, "0008", "paired", "iPhone van \"Eva\""},
         "Telefoon: iPhone van \"Eva\" (iPhone, 0008)"},
        {{P::apple, "0008", "unpaired", {}},
         "Telefoon: 0008 (iPhone) - vertrouw deze computer op de telefoon"}};
    for (const auto& [device, line] : rows)
        EXPECT_EQ(presenceLines({{device}, {}}), QStringList{line});
    using K = ToolProblem::Kind;
    const QStringList ten = presenceLines({std::vector<DeviceInfo>(10, kPixel),
                                           {{"adb", K::notResponding, {}},
                                            {"idevice_id", K::notInstalled, {}},
                                            {"adb", K::cannotStart, {}},
                                            {"ideviceinfo", K::failed, "ERROR: x"}}});
    EXPECT_EQ(ten.mid(8),
              (QStringList{"+2", "adb reageert niet", "idevice_id is niet geïnstalleerd",
                           "adb kan niet worden gestart", "ideviceinfo gaf een fout: ERROR: x"}));
    EXPECT_EQ(presenceLines({}), QStringList{"Geen telefoon aangesloten"});
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
    EXPECT_EQ(stub.requests, 1);  // one login per Enter

    window->connectionStateChanged(ConnectionState::disconnected);
    window->rememberBox()->setEnabled(true);
    window->rememberBox()->setFocus();
    QTest::keyClick(window->rememberBox(), Qt::Key_Return);  // Enter on "Onthouden" too
    EXPECT_TRUE(finished.wait(10000));
    EXPECT_EQ(stub.requests, 2);

    // After a connection has ended the keyboard alone logs in again.
    window->connectionStateChanged(ConnectionState::disconnected);
    EXPECT_EQ(QApplication::focusWidget(), window->emailField());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(finished.wait(10000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(connects, 3);
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
