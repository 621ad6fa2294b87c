// The agent as a resident of the desktop, through the real program in a real
// X server with a real tray host and a real keyring, a real mosquitto and the
// login stand-in: closing hides it in the tray while it keeps answering, the
// tray quits it, a remembered login comes back hidden after a restart, and
// "Afmelden" leaves nothing behind.
#include <signal.h>

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "deploy/agent_sandbox.h"
#include "deploy/desktop_session.h"
#include "support/app_harness.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/wait.h"

namespace tgw::test {
namespace {

const QString kTitle = "TGW Mobile Tool";

class ResidentAgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start());
        ASSERT_TRUE(login.listen());
        ASSERT_TRUE(keyring.start());
        ASSERT_TRUE(notifications.start(keyring.busAddress()));
        sandbox.env.insert("DISPLAY", x.display());
        sandbox.env.insert("DBUS_SESSION_BUS_ADDRESS", keyring.busAddress());
        sandbox.useServices(broker.port(), MosquittoBroker::caFile(), login.url());
    }

    void start(const QStringList& arguments = {}) {
        out.clear();
        agent = &sandbox.start(arguments);
    }
    bool subscribed(int timeoutMs = 30000) {
        return waitUntil(
            [&] {
                out += agent->readAllStandardOutput();
                return out.contains("didSubscribeTopic to tg/demo/tool");
            },
            timeoutMs);
    }
    // The shown windows titled kTitle, but the tray icon's.
    QStringList windows() const {
        QStringList shown;
        for (const QString& w : x.visibleWindows(kTitle))
            if (x.geometry(w).width() > 64) shown << w;
        return shown;
    }
    QString window() {
        QStringList shown;
        waitUntil([&] { return !(shown = windows()).isEmpty(); }, 20000);
        return shown.value(0);
    }
    // The agent's icon in the tray: its small window at the top right.
    QRect trayIcon() {
        QRect icon;
        waitUntil(
            [&] {
                for (const QString& w :
                     x.xdotool({"search", "--onlyvisible", "--classname", "tgw-mobile-tool"})
                         .split('\n', Qt::SkipEmptyParts)) {
                    const QRect r = x.geometry(w);
                    if (r.width() <= 64 && r.height() <= 64 && r.y() < 64) icon = r;
                }
                return icon.isValid();
            },
            20000);
        return icon;
    }
    void clickTray(const QString& button) {
        const QPoint at = trayIcon().center();
        x.xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", button});
    }
    // Types a login into the form; `remember` ticks "Onthouden".
    void typeLogin(bool remember) {
        x.xdotool({"mousemove", "--window", window(), "200", "20", "click", "1"});
        x.xdotool({"type", "--delay", "20", "tech@example.com"});
        x.xdotool({"key", "Tab"});
        x.xdotool({"type", "--delay", "20", "pw"});
        if (remember)
            x.xdotool({"key", "Tab", "space", "Tab", "space"});  // tick, then "Verbinden"
        else
            x.xdotool({"key", "Return"});
    }
    bool answersSync() {
        WebStandIn web(broker, "demo");
        if (!web.connect()) return false;
        web.send(R"({"type":"sync"})");
        return waitUntil([&] { return web.syncReplies == 1; }, 10000);
    }
    bool ends(int timeoutMs = 10000) {
        return agent->waitForFinished(timeoutMs) && agent->exitStatus() == QProcess::NormalExit &&
               agent->exitCode() == 0;
    }

    MosquittoBroker broker;
    LoginStub login;
    XServer x;
    TrayHost tray{x};
    AgentSandbox sandbox;
    Keyring keyring{sandbox.path("home")};
    NotificationService notifications;
    QProcess* agent = nullptr;
    QByteArray out;
};

TEST_F(ResidentAgentTest, ClosingHidesInTheTrayAndTheTrayQuitsWithADisconnect) {
    start();
    ASSERT_TRUE(trayIcon().isValid());
    typeLogin(false);
    ASSERT_TRUE(subscribed()) << out.toStdString();

    // Closed as a window manager would; the request is repeated while the
    // window stays (one sent while the agent starts may go unanswered here).
    const QString shown = window();
    QProcess xprop;  // the window's icon, as window managers and task bars read it
    xprop.start("xprop", {"-display", x.display(), "-id", shown, "_NET_WM_ICON"});
    ASSERT_TRUE(xprop.waitForFinished(10000));
    EXPECT_TRUE(xprop.readAll().contains("Icon ("));
    EXPECT_TRUE(waitUntil([&] { return x.close(shown) && windows().isEmpty(); }, 10000));
    EXPECT_EQ(agent->state(), QProcess::Running);
    // Told through the desktop's notification service.
    EXPECT_TRUE(waitUntil(
        [&] { return notifications.shown.join('\n').contains("blijft actief in het systeemvak"); },
        10000))
        << notifications.shown.join('\n').toStdString();

    EXPECT_TRUE(answersSync());

    clickTray("1");  // a left click shows the window again
    EXPECT_FALSE(window().isEmpty());
    x.screenshot(TGW_SCREENSHOT_DIR "/tray.png", QRect(600, 0, 200, 40));

    const qint64 pid = agent->processId();
    clickTray("3");
    x.xdotool({"key", "Up", "Return"});  // the menu's last entry: "Afsluiten"
    ASSERT_TRUE(ends());
    broker.stop();  // flushes its log
    EXPECT_TRUE(broker.log().contains(QRegularExpression(
        QString("Client TGW-API-MOBILE-TOOL-%1-[0-9a-f]{8} disconnected\\.").arg(pid))))
        << broker.log().toStdString();
}

TEST_F(ResidentAgentTest, ARememberedLoginComesBackHiddenAndAfmeldenForgetsIt) {
    start();
    typeLogin(true);
    ASSERT_TRUE(subscribed()) << out.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !keyring.agentEntry().isEmpty(); }, 10000))
        << agent->readAllStandardError().toStdString();
    ::kill(pid_t(agent->processId()), SIGTERM);
    ASSERT_TRUE(ends());

    start({"--hidden"});
    EXPECT_TRUE(subscribed(5000)) << out.toStdString();
    EXPECT_TRUE(answersSync());
    EXPECT_TRUE(windows().isEmpty());

    clickTray("3");
    x.xdotool({"key", "Down", "Down", "Return"});  // "Afmelden"
    EXPECT_TRUE(waitUntil([&] { return keyring.agentEntry().isEmpty(); }, 10000));
    EXPECT_FALSE(window().isEmpty());  // the empty form
    ::kill(pid_t(agent->processId()), SIGTERM);
    EXPECT_TRUE(ends());
}

// A login kept for one web service is not sent to another; its entry stays.
TEST_F(ResidentAgentTest, AKeptLoginGoesOnlyToTheWebServiceItWasMadeFor) {
    start();
    typeLogin(true);
    ASSERT_TRUE(subscribed()) << out.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !keyring.agentEntry().isEmpty(); }, 10000));
    ::kill(pid_t(agent->processId()), SIGTERM);
    ASSERT_TRUE(ends());

    LoginStub other;
    ASSERT_TRUE(other.listen());
    sandbox.useServices(broker.port(), MosquittoBroker::caFile(), other.url());
    start({"--hidden"});
    EXPECT_FALSE(window().isEmpty());  // the form, since nothing could be used
    const AgentRun status = sandbox.run({"--status", "--json"});
    EXPECT_TRUE(status.out.contains("\"web_service\":\"" + other.url() + "\""))
        << status.out.toStdString();
    EXPECT_EQ(other.requests, 0);
    // Left alone, under the origin it was made for (binary secrets are kept in base64).
    EXPECT_EQ(keyring.agentSecret(login.url()), QByteArray("tech@example.com\npw").toBase64());
    ::kill(pid_t(agent->processId()), SIGTERM);
    EXPECT_TRUE(ends());
}

TEST_F(ResidentAgentTest, AConfigurationErrorIsShownInAMessageBox) {
    AgentSandbox::write(sandbox.systemFile(), "[broker]\nport=none\n");
    start();
    const QString box = window();
    ASSERT_FALSE(box.isEmpty());
    x.screenshot(TGW_SCREENSHOT_DIR "/configuration-error.png");
    EXPECT_EQ(agent->state(), QProcess::Running);  // until the technician has read it
    x.xdotool({"key", "--window", box, "Return"});
    ASSERT_TRUE(agent->waitForFinished(10000));
    EXPECT_EQ(agent->exitCode(), 2);
    EXPECT_TRUE(agent->readAllStandardError().contains("broker/port"));
}

}  // namespace
}  // namespace tgw::test
