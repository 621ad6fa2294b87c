// The controller with its real session against a real mosquitto over TLS; a
// second session plays the web service. Covers the answers to commands, the
// reconnection after a broker restart, and the faults that must not be retried.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QTemporaryDir>
#include <thread>

#include "app/broker/connection_machine.h"
#include "mqtt/log_capture.h"
#include "support/app_harness.h"
#include "support/console_capture.h"
#include "support/fake_client.h"
#include "support/proc_status.h"
#include "support/raw_peer.h"
#include "support/recording_delegate.h"
#include "support/tcp_relay.h"

using namespace tgw::app;
using ::testing::HasSubstr;
using tgw::test::brokerConfig;
using tgw::test::MosquittoBroker;
using tgw::test::SessionKeeper;
using tgw::test::StateRecorder;
using tgw::test::waitUntil;
using tgw::test::WebStandIn;

namespace {

MosquittoBroker::Options brokerOptions() {
    MosquittoBroker::Options o;
    o.moreUsers = {{"acct-1", "pw-1"}};
    o.persistence = true;
    return o;
}

class AppBrokerTest : public ::testing::Test {
  protected:
    AppBrokerTest() { make(brokerConfig(broker)); }
    void SetUp() override { ASSERT_TRUE(broker.start()) << broker.log().toStdString(); }
    // A new agent with `config`; quick retries unless `delays` say otherwise.
    void make(const Config& config,
              ReconnectDelays delays = {std::chrono::milliseconds(50),
                                        std::chrono::milliseconds(100), 0.2}) {
        app.reset();
        app.emplace(config, AppDelegate::Options{sessions.factory(config), &tools, delays});
        app->setLoginWindow(&window);
    }
    void TearDown() override { qunsetenv("FAKE_ADB_MODE"); }

    // Logs the agent in as "p1" and connects the web service's stand-in.
    void connectBoth() {
        app->start("p1");
        ASSERT_TRUE(waitUntil([&] { return app->state() == ConnectionState::connected; }, 10000));
        ASSERT_TRUE(web.connect());
    }

    std::vector<MqttApi> results() const {
        std::vector<MqttApi> out;
        for (const std::string& r : web.results) {
            if (auto api = MqttApi::decode(r)) out.push_back(*api);
        }
        return out;
    }

    MosquittoBroker broker{brokerOptions()};
    tgw::process::Bundle tools{TGW_TEST_APP_RESOURCES};
    SessionKeeper sessions;
    StateRecorder window;
    std::optional<AppDelegate> app;
    WebStandIn web{broker, "p1", true};
};

}  // namespace

TEST_F(AppBrokerTest, CommandsFromTheWebServiceAreAnsweredOnTheResultTopic) {
    connectBoth();
    web.send(R"({"type":"sync"})");
    ASSERT_TRUE(web.waitForResults(1));
    EXPECT_EQ(web.results[0], "{\"type\": \"sync\"}");

    web.send(R"({"type":"android"})");
    ASSERT_TRUE(web.waitForResults(3));
    web.send(R"({"type":"apple"})");
    ASSERT_TRUE(web.waitForResults(4));
    const auto r = results();
    EXPECT_EQ(r[1].type, "android");
    EXPECT_EQ(r[2].type, "android");
    EXPECT_NE(r[1].action, r[2].action);
    EXPECT_EQ(r[3].type, "apple");
    EXPECT_EQ(r[3].data, "cmd:/usr/local/bin/ideviceinfo -x\n<plist><dict/></plist>\n<DO>\n");
}

TEST_F(AppBrokerTest, BrokerRestartIsHealedWithoutALoginAndTheRunningQueryIsAnswered) {
    make(brokerConfig(broker), ReconnectDelays{});
    connectBoth();
    QTemporaryDir dir;
    const QString gate = dir.path() + "/open";
    qputenv("FAKE_ADB_MODE", "gate");
    qputenv("FAKE_GATE", gate.toUtf8());
    testing::internal::CaptureStdout();
    web.send(R"({"type":"android"})");
    ASSERT_TRUE(waitUntil([&] { return app->queries().runningCount() == 2; }));

    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return app->state() == ConnectionState::retrying; }));
    ASSERT_TRUE(broker.start());
    QElapsedTimer since;
    since.start();
    const bool back = waitUntil([&] { return app->state() == ConnectionState::connected; }, 10000);
    const qint64 reconnectMs = since.elapsed();
    QFile(gate).open(QIODevice::WriteOnly);  // the query ends after the reconnect
    ASSERT_TRUE(web.connect());
    web.send(R"({"type":"sync"})");
    const bool answered = web.waitForResults(3);
    const std::string console = testing::internal::GetCapturedStdout();
    qunsetenv("FAKE_GATE");
    std::printf("reconnected %lld ms after the broker was back (first wait 1 to 3 s)\n",
                reconnectMs);
    ASSERT_TRUE(back);
    EXPECT_LE(reconnectMs, 3000 + 2000);  // the first wait after a loss is drawn from 1 to 3 s
    ASSERT_TRUE(answered) << console;
    EXPECT_EQ(web.count("{\"type\": \"sync\"}"), 1);
    int android = 0;
    for (const MqttApi& r : results()) android += r.type == "android";
    EXPECT_EQ(android, 2);
    EXPECT_EQ(window.states, (std::vector{ConnectionState::connecting, ConnectionState::connected,
                                          ConnectionState::retrying, ConnectionState::connected}));
    EXPECT_NE(console.find("Delegate: mqttDidDisconnect\nDelegate: reason: "), std::string::npos)
        << console;
}

TEST_F(AppBrokerTest, OversizedRetainedCommandIsSkippedAtEachArrivalAndTheAgentStays) {
    // 2 MB, past the 1 MiB the agent takes in one packet, retained: the broker
    // hands it to every new connection. The web service's copies are made first.
    ASSERT_TRUE(web.connect());
    web.session->publish("tg/p1/tool",
                         R"({"type":"sync","data":")" + std::string(size_t{2} << 20, 'x') + "\"}",
                         tgw::mqtt::MqttQos::qos1, true);
    ASSERT_TRUE(waitUntil([&] { return web.acked == 1; }));
    tgw::test::ConsoleCapture console;
    const auto skippedTimes = [&](int n) {
        return waitUntil([&] {
            return QString::fromStdString(console.peek()).count("command skipped: ") == n &&
                   app->state() == ConnectionState::connected;
        });
    };
    app->start("p1");
    ASSERT_TRUE(skippedTimes(1));
    app->start("p1");  // a new connection gets it again, once
    ASSERT_TRUE(skippedTimes(2));
    tgw::test::processEventsFor(300);  // the ended connections are gone
    const long idle = tgw::test::procStatus("VmRSS:");
    app->start("p1");
    ASSERT_TRUE(skippedTimes(3));
    web.send(R"({"type":"sync"})");
    ASSERT_TRUE(web.waitForResults(1));
    const long grown = tgw::test::procStatus("VmRSS:") - idle;
    web.session->publish("tg/p1/tool", "", tgw::mqtt::MqttQos::qos1, true);  // clears it
    const std::string out = console.text();
    std::printf("RSS grew %ld KiB over a third skipped 2 MB command\n", grown);
    EXPECT_EQ(web.count(std::string(kSyncReply)), 1);
    EXPECT_FALSE(window.saw(ConnectionState::retrying));
    EXPECT_THAT(out, HasSubstr(" bytes on tg/p1/tool, over the packet size limit"));
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(grown, 2048);
#endif
}

// The connection's states without a clock: a refusal whose CONNACK is read
// after the end turns the pending retry into "refused"; a missing SUBACK is
// retried within 3/4 of its deadline; short connections in a row are flagged.
TEST(ConnectionMachine, EventsInActionsOut) {
    using std::chrono::milliseconds;
    ConnectionMachine m(ReconnectDelays{}, milliseconds(200));
    EXPECT_TRUE(m.start().connect);
    const auto lost = m.lost(tgw::mqtt::MqttError{"reset"}, {}, 0);
    EXPECT_EQ(lost.report, ConnectionState::retrying);
    const auto refused = m.connAck(tgw::mqtt::MqttConnAck::notAuthorized);
    EXPECT_TRUE(refused.cancelReconnect);
    EXPECT_EQ(refused.report, ConnectionState::refused);

    m.start();
    EXPECT_TRUE(m.connAck(tgw::mqtt::MqttConnAck::accepted).subscribe);
    const auto missed = m.subscribeTimedOut(1);
    EXPECT_TRUE(missed.retire);
    EXPECT_LE(*missed.reconnectIn, milliseconds(150));
    int flagged = 0;
    for (int i = 0; i < 3; ++i) {
        m.reconnectDue();
        EXPECT_EQ(m.subscribed().report, ConnectionState::connected);
        flagged = m.lost(std::nullopt, milliseconds(100), 0).shortLivedInARow;
    }
    EXPECT_EQ(flagged, 3);
}

// A burst of QoS 0 syncs, on a broker that queues for its subscribers without
// bound, directly and through a link that delivers the broker's bytes 2 s
// late: every one is answered, the window refilling as acknowledgements come.
TEST(SyncBurst, EveryCommandIsAnsweredHoweverLateTheAcknowledgementsCome) {
    constexpr int kSyncs = 3000;
    MosquittoBroker::Options options;
    options.extraConfig = "max_queued_messages 0\n";
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    for (const int delayMs : {0, 2000}) {
        tgw::test::TcpRelay relay(broker.port());
        ASSERT_TRUE(relay.listen(false));
        relay.delayDown(delayMs);
        Config config = brokerConfig(broker);
        if (delayMs > 0) config.brokerPort = relay.port();
        tgw::process::Bundle tools{TGW_TEST_APP_RESOURCES};
        AppDelegate app(config, AppDelegate::Options{{}, &tools, {}, AppDelegate::kKeepAlive});
        WebStandIn web{broker, "p1"};
        web.keepResults = false;
        tgw::test::ConsoleCapture console;  // tens of thousands of lines
        app.start("p1");
        ASSERT_TRUE(waitUntil([&] { return app.state() == ConnectionState::connected; }, 20000));
        ASSERT_TRUE(web.connect());
        QElapsedTimer took;
        took.start();
        for (int i = 0; i < kSyncs; ++i) {
            web.session->publish("tg/p1/tool", R"({"type":"sync"})", tgw::mqtt::MqttQos::qos0);
        }
        waitUntil([&] { return web.syncReplies == kSyncs && app.link().outbox().bytes() == 0; },
                  120000);
        console.text();
        std::printf("%d of %d syncs answered in %lld ms, the broker's bytes %d ms late\n",
                    web.syncReplies, kSyncs, took.elapsed(), delayMs);
        EXPECT_EQ(web.syncReplies, kSyncs) << "delay " << delayMs << " ms";
        EXPECT_EQ(app.link().outbox().bytes(), 0u);
        app.stop();
    }
}

// A command that arrives while a log-out says goodbye is not run but answered,
// on that connection, before its DISCONNECT.
TEST(Goodbye, ACommandArrivingMeanwhileIsAnsweredWithAnErrorBeforeTheDisconnect) {
    tgw::test::FakeClient* client = nullptr;
    Config config = Config::builtIn();
    tgw::process::Bundle tools{TGW_TEST_APP_RESOURCES};
    AppDelegate app(config, {[&](const std::string& id, const std::string& h, uint16_t p,
                                 tgw::mqtt::MqttDelegate&) {
                                 auto c = std::make_unique<tgw::test::FakeClient>(id, h, p);
                                 client = c.get();
                                 return c;
                             },
                             &tools,
                             {},
                             AppDelegate::kKeepAlive});
    tgw::test::ConsoleCapture console;
    app.start("p1");
    app.link().didConnectAck(*client, tgw::mqtt::MqttConnAck::accepted);
    app.link().didSubscribeTopic(*client, "tg/p1/tool");
    app.stop();  // the offline status goes out
    ASSERT_EQ(client->published.back().payload,
              R"({"type":"status","state":"offline","reason":"switch"})");
    const uint16_t goodbye = client->nextId - 1;
    app.link().didReceiveMessage(
        *client, tgw::mqtt::MqttMessage("tg/p1/tool", R"({"type":"android","serial":"s1"})"), 9);
    ASSERT_EQ(client->published.size(), 4u);  // online, offline, the two answers
    for (int i : {2, 3}) {
        const auto answer = MqttApi::decode(client->published[i].payload);
        EXPECT_EQ(client->published[i].topic, "tg/p1/tool/web");
        EXPECT_EQ(answer->data, "error: the agent is disconnecting; not run");
        EXPECT_EQ(answer->serial, "s1");
    }
    EXPECT_EQ(app.queries().runningCount() + app.queries().waitingCount(), 0u);
    app.link().didPublishAck(*client, goodbye);
    app.link().didPublishAck(*client, goodbye + 1);
    EXPECT_EQ(client->disconnects, 0);  // one answer still unacknowledged
    app.link().didPublishAck(*client, goodbye + 2);
    EXPECT_EQ(client->disconnects, 1);
    EXPECT_THAT(console.text(), HasSubstr("command not run: the agent is disconnecting; 2 error"));
}

TEST_F(AppBrokerTest, AccountCredentialsAreUsedAndARefusalIsNotRetried) {
    app->start("p1", BrokerCredentials{"acct-1", "pw-1"});
    ASSERT_TRUE(waitUntil([&] { return app->state() == ConnectionState::connected; }, 10000));

    app->start("p1", BrokerCredentials{"acct-1", "wrong"});
    ASSERT_TRUE(waitUntil([&] { return app->state() == ConnectionState::refused; }, 10000));
    const int made = sessions.made;
    tgw::test::processEventsFor(500);
    EXPECT_EQ(sessions.made, made);
}

TEST(AppBrokerAccountTest, TheConfiguredAccountIsUsed) {
    MosquittoBroker broker(MosquittoBroker::Options{true, "cfguser", "cfgpw"});
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    Config config = brokerConfig(broker);
    config.brokerUsername = "cfguser";
    config.brokerPassword = "cfgpw";
    AppDelegate app(config);
    app.start("p1");
    ASSERT_TRUE(waitUntil([&] { return app.state() == ConnectionState::connected; }, 10000));
}

// Two agents with one client id take the connection from each other; the
// back-off keeps growing, since no connection lasts.
TEST_F(AppBrokerTest, ClientIdTakenOverEverySecondDoesNotMakeAStorm) {
    make(brokerConfig(broker), ReconnectDelays{});
    tgw::test::LogCapture log;
    connectBoth();
    tgw::test::RecordingDelegate thiefEvents;
    std::unique_ptr<tgw::mqtt::MqttClient> thief;
    QElapsedTimer since;
    since.start();
    const int before = sessions.made;
    // The warning needs three lost connections in a row, which the randomly
    // drawn waits may take past 20 s: the takeovers go on until it comes (at
    // most a minute); the attempts are counted over the first 20 s.
    const auto warned = [&] { return log.has("warning", "another client may be using"); };
    int attempts = -1;
    while (since.elapsed() < 60000 && (attempts < 0 || !warned())) {
        thief = BrokerLink::sessionFactory(brokerConfig(broker))(
            app->link().clientID(), "localhost", broker.port(), thiefEvents);
        thief->setUsername(AppDelegate::kUsername);
        thief->setPassword(AppDelegate::kPassword);
        thief->connect();
        tgw::test::processEventsFor(1000);
        if (attempts < 0 && since.elapsed() >= 20000) attempts = sessions.made - before;
    }
    std::printf("%d connection attempts in 20 s while another client took the id every second\n",
                attempts);
    EXPECT_LE(attempts, 5);  // even the shortest waits (1.5, 1.8, 2.2, 2.6, 4, 8 s) make only 5
    EXPECT_TRUE(log.has("warning", "another client may be using the client id"))
        << log.all().toStdString();
}

TEST_F(AppBrokerTest, UntrustedCertificateIsNotRetried) {
    // Needs the session to report the certificate fault as such.
    make(brokerConfig(broker, MosquittoBroker::otherCaFile()));
    app->start("p1");
    EXPECT_TRUE(waitUntil([&] { return app->state() == ConnectionState::untrusted; }, 10000));
    const int made = sessions.made;
    tgw::test::processEventsFor(500);
    EXPECT_EQ(sessions.made, made);
}

TEST_F(AppBrokerTest, ListenerThatNeverAcknowledgesIsRetriedAndNeverConnected) {
    // Needs the session's connect timeout.
    QSslServer silent;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    QFile cert(TGW_TEST_DATA_DIR "/server.crt"), key(TGW_TEST_DATA_DIR "/server.key");
    ASSERT_TRUE(cert.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly));
    tls.setLocalCertificate(QSslCertificate(&cert));
    tls.setPrivateKey(QSslKey(&key, QSsl::Rsa));
    silent.setSslConfiguration(tls);
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    Config config = brokerConfig(broker);
    config.brokerPort = silent.serverPort();
    sessions.connectTimeout = std::chrono::milliseconds(500);
    make(config);
    app->start("p1");
    EXPECT_TRUE(waitUntil([&] { return sessions.made >= 3; }, 8000)) << sessions.made;
    EXPECT_FALSE(window.saw(ConnectionState::connected));
    EXPECT_EQ(app->state(), ConnectionState::retrying);
    app->stop();
}

TEST_F(AppBrokerTest, ShutdownSaysGoodbyeToTheBrokerAndStopsTheTools) {
    connectBoth();
    qputenv("FAKE_ADB_MODE", "hang");
    testing::internal::CaptureStdout();
    web.send(R"({"type":"android"})");
    const bool running = waitUntil([&] { return app->queries().runningCount() == 2; });
    bool done = false;
    app->shutdown([&] { done = true; });
    const bool finished =
        waitUntil([&] { return done && app->queries().runningCount() == 0; }, 3000);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(running);
    EXPECT_TRUE(finished);
    const std::string disconnected = "Client " + app->link().clientID() + " disconnected.";
    EXPECT_TRUE(waitUntil(
        [&] { return broker.log().contains(QString::fromStdString(disconnected)); }, 3000))
        << broker.log().toStdString();
    tgw::test::processEventsFor(300);
    EXPECT_NE(app->state(), ConnectionState::retrying);
}

TEST_F(AppBrokerTest, RealToolsWithNoPhoneAnswerWithTheirFailureTexts) {
    const tgw::process::Bundle shipped(TGW_BUILD_RESOURCES);
    AppDelegate real(brokerConfig(broker), {{}, &shipped, {}, AppDelegate::kKeepAlive});
    real.start("p1");
    ASSERT_TRUE(waitUntil([&] { return real.state() == ConnectionState::connected; }, 10000));
    ASSERT_TRUE(web.connect());
    auto count = [&](const std::string& type, const std::string& text) {
        int n = 0;
        for (const MqttApi& r : results())
            n += r.type == type && r.data->find(text) != std::string::npos;
        return n;
    };
    web.send(R"({"type":"android"})");
    const bool android = waitUntil([&] { return count("android", "error:") == 2; }, 20000);
    // ideviceinfo: "ERROR: No device found!"; idevicediagnostics: "No device found."
    web.send(R"({"type":"apple"})");
    const bool info = waitUntil([&] { return count("apple", "No device found!") == 1; }, 20000);
    web.send(R"({"type":"apple","action":"battery"})");
    const bool battery = waitUntil([&] { return count("apple", "No device found.") == 1; }, 20000);
    QProcess::execute("adb", {"kill-server"});  // the server our adb calls started
    EXPECT_TRUE(android);
    EXPECT_TRUE(info);
    EXPECT_TRUE(battery);
}

// The README's recipe for per-account broker users: each confined to its own
// account's topics, so a second account never reads the first one's results.
TEST(AccountAclTest, ASecondAccountCannotReadTheFirstOnesResults) {
    QTemporaryDir dir;
    const QString acl = dir.path() + "/acl";
    {
        QFile file(acl);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(
            "user tanglow_web\ntopic readwrite tg/#\n"
            "user acct-1\ntopic readwrite tg/p1/#\n"
            "user acct-2\ntopic readwrite tg/p2/#\n");
    }
    MosquittoBroker::Options options;
    options.moreUsers = {{"acct-1", "pw-1"}, {"acct-2", "pw-2"}};
    options.extraConfig = "acl_file " + acl + "\n";
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    AppDelegate app(brokerConfig(broker));
    app.start("p1", BrokerCredentials{"acct-1", "pw-1"});
    ASSERT_TRUE(waitUntil([&] { return app.state() == ConnectionState::connected; }, 10000));

    tgw::test::RecordingDelegate snoop;
    tgw::mqtt::MqttSession other("snoop", "localhost", broker.port());
    other.setDelegate(&snoop);
    other.setEnableSSL(true);
    other.setExtraCaCertificates(readCaCertificates(MosquittoBroker::caFile()));
    other.setUsername("acct-2");
    other.setPassword("pw-2");
    other.connect();
    ASSERT_TRUE(waitUntil([&] { return snoop.has("connack accepted"); }, 10000));
    other.subscribe("tg/p1/tool/web");
    other.subscribe("tg/#");
    ASSERT_TRUE(waitUntil([&] { return snoop.count("subscribed") == 2; }, 10000));

    WebStandIn web{broker, "p1"};
    ASSERT_TRUE(web.connect());
    web.send(R"({"type":"sync"})");
    ASSERT_TRUE(web.waitForResults(1));  // the account's own results arrive
    tgw::test::processEventsFor(300);
    EXPECT_FALSE(snoop.has("message")) << "another account read a result";
}

// Sessions without TLS, for broker stand-ins that speak raw bytes.
std::unique_ptr<tgw::mqtt::MqttClient> plainSession(const std::string& id, const std::string& host,
                                                    uint16_t port,
                                                    tgw::mqtt::MqttDelegate& delegate) {
    auto session = std::make_unique<tgw::mqtt::MqttSession>(id, host, port);
    session->setDelegate(&delegate);
    return session;
}

// A broker that acknowledges two million publishes never sent: the agent
// counts them and says so in a console line a second at most.
TEST(UnknownAcknowledgements, AreCountedInAFewConsoleLines) {
    constexpr size_t kAcks = 2'000'000;
    tgw::test::RawPeer peer([](int fd, const std::atomic<bool>& stop) {
        const uint8_t connack[] = {0x20, 0x02, 0x00, 0x00};
        tgw::test::RawPeer::offer(fd, connack, sizeof connack);
        std::vector<uint8_t> chunk;
        for (int i = 0; i < 16384; ++i) chunk.insert(chunk.end(), {0x40, 0x02, 0x7F, 0xFF});
        for (size_t sent = 0, at = 0; !stop && sent < 4 * kAcks;) {
            const size_t n = tgw::test::RawPeer::offer(
                fd, chunk.data() + at, std::min(chunk.size() - at, 4 * kAcks - sent));
            sent += n;
            at = (at + n) % chunk.size();
        }
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    Config config = Config::builtIn();
    config.brokerHost = "127.0.0.1";
    config.brokerPort = peer.port();
    config.presenceEnabled = false;
    AppDelegate app(config, {plainSession, nullptr, {}, AppDelegate::kKeepAlive});
    tgw::test::ConsoleCapture console;
    QElapsedTimer since;
    since.start();
    app.start("p");
    size_t counted = 0;
    int lines = 0;
    waitUntil(
        [&] {
            const QStringList all = QString::fromStdString(console.peek()).split('\n');
            counted = 0;
            lines = 0;
            for (const QString& line : all) {
                if (!line.startsWith("didPublishAck for ")) continue;
                ++lines;
                counted += line.section(' ', 2, 2).remove(',').toULongLong();
            }
            return counted == kAcks;
        },
        60000);
    const std::string out = console.text();
    std::printf("%zu unknown acknowledgements in %lld ms: %d console lines\n", counted,
                since.elapsed(), lines);
    EXPECT_EQ(counted, kAcks);
    EXPECT_LE(lines, since.elapsed() / 1000 + 2);
}

// A broker that floods PUBREL and never reads: the agent stops reading, its
// memory stays flat, the keep-alive ends the link, and once a sane broker
// is there the agent answers again.
TEST(PubrelFlood, MemoryStaysFlatAndTheAgentComesBackToASaneBroker) {
    MosquittoBroker::Options options;
    options.tls = false;
    MosquittoBroker sane(options);  // its port, not yet listening
    std::atomic<size_t> sent{0};
    auto flood = std::make_unique<tgw::test::RawPeer>(
        [&](int fd, const std::atomic<bool>& stop) {
            const uint8_t connack[] = {0x20, 0x02, 0x00, 0x00};
            tgw::test::RawPeer::offer(fd, connack, sizeof connack);
            std::vector<uint8_t> chunk;
            for (int i = 0; i < 16384; ++i) chunk.insert(chunk.end(), {0x62, 0x02, 0x00, 0x01});
            for (size_t at = 0; !stop && sent < size_t{160'000'000};) {  // 40 M packets
                const size_t n =
                    tgw::test::RawPeer::offer(fd, chunk.data() + at, chunk.size() - at);
                sent += n;
                at = (at + n) % chunk.size();
            }
        },
        sane.port());
    Config config = Config::builtIn();
    config.brokerHost = "127.0.0.1";
    config.brokerPort = sane.port();
    config.presenceEnabled = false;
    StateRecorder window;
    AppDelegate app(
        config,
        {plainSession, nullptr,
         ReconnectDelays{std::chrono::milliseconds(200), std::chrono::milliseconds(400), 0.2}, 2});
    app.setLoginWindow(&window);
    tgw::test::ConsoleCapture console;
    const long idle = tgw::test::procStatus("VmRSS:");
    long peak = idle;
    app.start("p");
    ASSERT_TRUE(waitUntil(
        [&] {
            peak = std::max(peak, tgw::test::procStatus("VmRSS:"));
            return window.saw(ConnectionState::retrying);
        },
        20000));
    flood.reset();
    ASSERT_TRUE(sane.start()) << sane.log().toStdString();
    ASSERT_TRUE(waitUntil([&] { return app.state() == ConnectionState::connected; }, 10000));
    tgw::test::RecordingDelegate webEvents;
    auto web = plainSession("web", "127.0.0.1", sane.port(), webEvents);
    web->setUsername(AppDelegate::kUsername);
    web->setPassword(AppDelegate::kPassword);
    web->connect();
    ASSERT_TRUE(waitUntil([&] { return webEvents.has("connack accepted"); }));
    web->subscribe("tg/p/tool/web");
    ASSERT_TRUE(waitUntil([&] { return webEvents.has("subscribed"); }));
    web->publish("tg/p/tool", R"({"type":"sync"})");
    EXPECT_TRUE(waitUntil([&] { return webEvents.has("message tg/p/tool/web"); }));
    std::fprintf(stderr,
                 "PUBREL flood: %zu MiB offered before the agent stopped reading; RSS +%ld KiB\n",
                 sent.load() >> 20, peak - idle);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(peak - idle, 16 * 1024);
#endif
}
