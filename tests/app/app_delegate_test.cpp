// The controller against a recording client: connection settings, reactions
// and console lines, command decoding and dispatch, and the device queries with
// stand-in tools that print fixed text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/app_delegate.h"
#include "app/queries/console_text.h"
#include "support/app_harness.h"
#include "support/fake_client.h"
#include "support/reconnect_simulation.h"
#include "support/wait.h"

using namespace tgw::app;
using tgw::mqtt::MqttConnAck;
using tgw::mqtt::MqttMessage;
using tgw::mqtt::MqttQos;
using tgw::test::FakeClient;
using tgw::test::simulateOutage;
using tgw::test::StateRecorder;
using tgw::test::waitUntil;

namespace {

class AppTest : public ::testing::Test {
  protected:
    AppTest() { make(Limits{}); }
    // A new controller with `limits` and quick retries (unless `delays` says otherwise).
    void make(const Limits& limits, const tgw::process::Bundle* tools = nullptr,
              ReconnectDelays delays = {std::chrono::milliseconds(20),
                                        std::chrono::milliseconds(80), 0.2}) {
        Config config = Config::builtIn();
        config.limits = limits;
        config.presenceEnabled = false;  // the status messages have tests of their own
        app.reset();
        app.emplace(config, AppDelegate::Options{factory(), tools ? tools : &bundle, delays});
        app->queries().setAccount("abc");
        app->setLoginWindow(&window);
    }
    BrokerLink& link() { return app->link(); }
    void command(const std::string& text) { app->commands().handle("abc", text); }
    ~AppTest() override {
        for (const char* v : {"FAKE_ADB_MODE", "FAKE_RUN_MODE", "FAKE_RUN_EXIT", "FAKE_COUNT_DIR",
                              "FAKE_ADB_BYTES"}) {
            qunsetenv(v);
        }
    }

    BrokerLink::ClientFactory factory() {
        return [this](const std::string& id, const std::string& host, uint16_t port,
                      tgw::mqtt::MqttDelegate&) {
            auto c = std::make_unique<FakeClient>(id, host, port);
            client = c.get();
            ++clientsMade;
            return c;
        };
    }

    // Runs `command`, capturing the console, until `results` results are published.
    std::string run(const std::string& command, size_t results = 0, int settleMs = 0) {
        testing::internal::CaptureStdout();
        app->commands().handle("abc", command);
        const bool ok = waitUntil([&] { return client->published.size() >= results; }, 10000);
        if (settleMs) tgw::test::processEventsFor(settleMs);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(ok) << out;
        return out;
    }

    std::optional<MqttApi> result(size_t i) {
        if (i >= client->published.size()) return std::nullopt;
        EXPECT_EQ(client->published[i].topic, "tg/abc/tool/web");
        EXPECT_EQ(client->published[i].qos, MqttQos::qos1);
        EXPECT_FALSE(client->published[i].retained);
        return MqttApi::decode(client->published[i].payload);
    }

    std::optional<MqttApi> resultWith(const std::string& action) {
        for (size_t i = 0; i < client->published.size(); ++i) {
            auto r = result(i);
            if (r && r->action == action) return r;
        }
        return std::nullopt;
    }

    // Logs in as "abc" and plays the broker up to the SUBACK.
    void connected(std::optional<BrokerCredentials> credentials = std::nullopt) {
        testing::internal::CaptureStdout();
        app->start("abc", std::move(credentials));
        link().didConnectAck(*client, MqttConnAck::accepted);
        link().didSubscribeTopic(*client, "tg/abc/tool");
        testing::internal::GetCapturedStdout();
    }

    tgw::process::Bundle bundle{TGW_TEST_APP_RESOURCES};
    StateRecorder window;
    FakeClient* client = nullptr;
    int clientsMade = 0;
    std::optional<AppDelegate> app;
};

std::string capture(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST_F(AppTest, ConnectUsesTheConfiguredSettings) {
    Config config = Config::builtIn();
    config.brokerHost = "broker.example";
    config.brokerPort = 18883;
    app.emplace(config, AppDelegate::Options{factory(), &bundle, {}, AppDelegate::kKeepAlive});
    app->start("abc");
    ASSERT_NE(client, nullptr);
    // The prefix brokers' ACLs match, the process id, 8 random hex digits.
    const std::string pid = "TGW-API-MOBILE-TOOL-" + std::to_string(::getpid()) + "-";
    EXPECT_EQ(client->id.rfind(pid, 0), 0u);
    EXPECT_EQ(client->id.size(), pid.size() + 8);
    EXPECT_EQ(client->id.find_first_not_of("0123456789abcdef", pid.size()), std::string::npos);
    EXPECT_EQ(client->hostName, "broker.example");
    EXPECT_EQ(client->portNumber, 18883);
    EXPECT_EQ(client->user, std::optional<std::string>("tanglow_web"));
    EXPECT_EQ(client->pass, std::optional<std::string>("palmoc5829"));
    EXPECT_EQ(client->keep, 60);
    EXPECT_EQ(client->connects, 1);

    FakeClient* first = client;
    app->start("abc");  // a second login replaces the session
    EXPECT_NE(client, first);
    EXPECT_EQ(link().client(), client);
    EXPECT_EQ(client->id.rfind(pid, 0), 0u);

    // A configured account comes before the built-in one, a login's before both.
    config.brokerUsername = "cfguser";
    config.brokerPassword = "cfgpass";
    app.emplace(config, AppDelegate::Options{factory(), &bundle, {}, AppDelegate::kKeepAlive});
    app->start("abc");
    EXPECT_EQ(client->user, std::optional<std::string>("cfguser"));
    EXPECT_EQ(client->pass, std::optional<std::string>("cfgpass"));
    app->start("abc", BrokerCredentials{"acct", "pw"});
    EXPECT_EQ(client->user, std::optional<std::string>("acct"));
}

TEST_F(AppTest, SubscribesOnAcceptedConnectionOnly) {
    app->start("abc");
    EXPECT_EQ(capture([&] { link().didConnectAck(*client, MqttConnAck::notAuthorized); }),
              "didConnectAck: notAuthorized\xEF\xBC\x8CrawValue: 5\n");
    EXPECT_TRUE(client->subscribed.empty());
    EXPECT_EQ(capture([&] { link().didConnectAck(*client, MqttConnAck::accepted); }),
              "didConnectAck: accepted\xEF\xBC\x8CrawValue: 0\n");
    EXPECT_EQ(client->subscribed, std::vector<std::string>{"tg/abc/tool qos1"});
    app->start("");
    capture([&] { link().didConnectAck(*client, MqttConnAck::accepted); });
    EXPECT_EQ(client->subscribed.back(), "tg//tool qos1");
}

TEST_F(AppTest, ConsoleLinesOfTheSessionEvents) {
    app->start("abc");
    EXPECT_EQ(capture([&] {
                  link().didPublishMessage(*client, "t", 4);
                  link().didPublishAck(*client, 4);
                  link().didSubscribeTopic(*client, "tg/abc/tool");
                  link().didUnsubscribeTopic(*client, "tg/abc/tool");
                  link().didPing(*client);
                  link().didReceivePong(*client);
              }),
              "didPublishMessage with message\n"
              "didPublishAck with id: 4\n"
              "didSubscribeTopic to tg/abc/tool\n"
              "didUnsubscribeTopic to tg/abc/tool\n"
              "didPing\n"
              "Delegate: didReceivePong\n");
}

TEST_F(AppTest, LossIsRetriedWithTheSameSettingsUntilSubscribedAgain) {
    connected(BrokerCredentials{"acct-7", "s3cret"});
    EXPECT_EQ(window.states,
              (std::vector{ConnectionState::connecting, ConnectionState::connected}));
    EXPECT_EQ(client->user, std::optional<std::string>("acct-7"));
    const std::string firstId = client->id;
    EXPECT_EQ(capture([&] {
                  link().didDisconnect(
                      *client, tgw::mqtt::MqttError{"closed", tgw::mqtt::MqttErrorKind::network});
              }),
              "Delegate: mqttDidDisconnect\nDelegate: reason: closed\n");
    EXPECT_EQ(app->state(), ConnectionState::retrying);
    // Every failed attempt waits longer; a new session each time, same settings.
    for (int attempt = 2; attempt <= 4; ++attempt) {
        ASSERT_TRUE(waitUntil([&] { return clientsMade == attempt; }, 2000));
        EXPECT_EQ(client->connects, 1);
        EXPECT_EQ(client->id, firstId);
        EXPECT_EQ(client->pass, std::optional<std::string>("s3cret"));
        capture([&] { link().didDisconnect(*client, tgw::mqtt::MqttError{"refused"}); });
    }
    ASSERT_TRUE(waitUntil([&] { return clientsMade == 5; }, 2000));
    capture([&] {
        link().didConnectAck(*client, MqttConnAck::accepted);
        EXPECT_EQ(app->state(), ConnectionState::retrying);  // until the command topic's SUBACK
        link().didSubscribeTopic(*client, "tg/abc/tool");
    });
    EXPECT_EQ(window.states.back(), ConnectionState::connected);
    EXPECT_EQ(client->subscribed, std::vector<std::string>{"tg/abc/tool qos1"});
    // A clean end (no error) is a loss too, and writes no reason.
    EXPECT_EQ(capture([&] { link().didDisconnect(*client, std::nullopt); }),
              "Delegate: mqttDidDisconnect\n");
    app->start("abc");  // a new login ends the retrying
    const int made = clientsMade;
    tgw::test::processEventsFor(300);
    EXPECT_EQ(clientsMade, made);
}

TEST_F(AppTest, RefusedCredentialsAndUntrustedCertificateAreNotRetried) {
    connected();
    capture([&] {
        link().didConnectAck(*client, MqttConnAck::badUserNameOrPassword);
        link().didDisconnect(*client, std::nullopt);
    });
    EXPECT_EQ(app->state(), ConnectionState::refused);
    app->start("abc");
    capture([&] {
        link().didDisconnect(
            *client,
            tgw::mqtt::MqttError{"not trusted", tgw::mqtt::MqttErrorKind::untrustedCertificate});
    });
    EXPECT_EQ(app->state(), ConnectionState::untrusted);
    app->start("abc");
    capture([&] {
        link().didConnectAck(*client, MqttConnAck::accepted);
        link().didDisconnect(*client,
                             tgw::mqtt::MqttError{"refused the subscription",
                                                  tgw::mqtt::MqttErrorKind::subscriptionRefused});
    });
    EXPECT_EQ(app->state(), ConnectionState::refused);
    const int made = clientsMade;
    tgw::test::processEventsFor(300);
    EXPECT_EQ(clientsMade, made);
    EXPECT_EQ(window.states, (std::vector{ConnectionState::connecting, ConnectionState::connected,
                                          ConnectionState::refused, ConnectionState::connecting,
                                          ConnectionState::untrusted, ConnectionState::connecting,
                                          ConnectionState::refused}));
}

TEST(ReconnectDelays, DoublingFromOneSecondToAMinuteWithinTheJitter) {
    ReconnectDelays d;
    d.backoff = Backoff::doubling;
    using std::chrono::milliseconds;
    EXPECT_EQ(reconnectDelay(d, 0, {}, 0), milliseconds(1000));
    EXPECT_EQ(reconnectDelay(d, 2, milliseconds(2000), 0), milliseconds(4000));
    EXPECT_EQ(reconnectDelay(d, 6, {}, 0), milliseconds(60'000));
    EXPECT_EQ(reconnectDelay(d, 1000, {}, 0), milliseconds(60'000));
    EXPECT_EQ(reconnectDelay(d, 0, {}, -1), milliseconds(800));
    EXPECT_EQ(reconnectDelay(d, 9, {}, 1), milliseconds(72'000));
}

TEST(ReconnectDelays, ProportionalToTheTimeAwayAboveAFloor) {
    const ReconnectDelays d;
    using std::chrono::milliseconds;
    EXPECT_EQ(reconnectDelay(d, 0, {}, -1), milliseconds(1500));
    EXPECT_EQ(reconnectDelay(d, 0, {}, 1), milliseconds(4500));
    EXPECT_EQ(reconnectDelay(d, 3, milliseconds(10'000), 0), milliseconds(7000));
    EXPECT_EQ(reconnectDelay(d, 9, milliseconds(600'000), -1), milliseconds(60'000));
    EXPECT_EQ(reconnectDelay(d, 5, {}, 1), milliseconds(8000));  // the floor
    // Connections lost again at once (another client taking the client id):
    // even the shortest waits keep to 5 attempts in 20 s and 8 in a minute.
    milliseconds at{0};
    int in20 = 0, in60 = 0;
    for (int attempt = 0; at < milliseconds(60'000); ++attempt) {
        at += reconnectDelay(d, attempt, at, -1);
        in20 += at < milliseconds(20'000);
        in60 += at < milliseconds(60'000);
    }
    EXPECT_EQ(in20, 5);
    EXPECT_EQ(in60, 8);
}

// 1,000 agents losing the broker together: the chosen back-off spreads their
// return to at most 300, 200 and 100 connects a second after 5, 10 and 30 s
// away, where doubling brings back about twice as many at once; half the
// fleet is back within 4 s (within 8 s after 30 s away).
TEST(ReconnectDelays, AFleetReturnsSpreadAndASingleAgentSoon) {
    using std::chrono::milliseconds;
    ReconnectDelays doubling;
    doubling.backoff = Backoff::doubling;
    const struct {
        int outageS, busiest, halfS;
    } goals[] = {{5, 300, 4}, {10, 200, 4}, {30, 100, 8}};
    for (const auto& goal : goals) {
        const auto ours = simulateOutage({}, 1000, milliseconds(goal.outageS * 1000), 21);
        const auto today = simulateOutage(doubling, 1000, milliseconds(goal.outageS * 1000), 21);
        EXPECT_LE(ours.busiestSecond, goal.busiest) << goal.outageS;
        EXPECT_GE(today.busiestSecond, ours.busiestSecond * 3 / 2) << goal.outageS;
        EXPECT_LE(ours.half, milliseconds(goal.halfS * 1000)) << goal.outageS;
        EXPECT_LE(ours.all, milliseconds(60'000)) << goal.outageS;
    }
    // Any agent is back within 10 s of a broker that was away 3 s.
    EXPECT_LE(simulateOutage({}, 10'000, milliseconds(3000), 21).all, milliseconds(10'000));
}

TEST(Outbox, CountsEachResultOnceAndHandsOutAWindowAtATime) {
    Outbox box(100, 40);
    std::vector<size_t> dropped;
    auto add = [&](char c) {
        box.add({"a", std::string(30, c)}, [&](size_t n) { dropped.push_back(n); });
    };
    add('x');
    add('y');
    add('z');
    ASSERT_TRUE(box.canSend());
    box.sent(1);
    EXPECT_FALSE(box.canSend());  // 30 in flight and 30 more exceed the window
    add('w');                     // 120 held: the oldest waiting goes, not the one in flight
    EXPECT_EQ(dropped, std::vector<size_t>{30});
    EXPECT_EQ(box.bytes(), 90u);
    EXPECT_EQ(box.next().payload[0], 'z');
    EXPECT_FALSE(box.acknowledged(7));
    EXPECT_TRUE(box.acknowledged(1));
    EXPECT_EQ(box.bytes(), 60u);
    box.sent(2);
    EXPECT_EQ(box.connectionLost(), 1u);  // back to the front of the line
    EXPECT_EQ(box.next().payload[0], 'z');
    box.add({"b", "q"}, {});
    EXPECT_EQ(box.keepOnly("b"), 2u);
    EXPECT_EQ(box.bytes(), 1u);
}

// A missing SUBACK is a loss, tried again soon however long the back-off
// has grown: here the second wait would be 5 s or more, the SUBACK deadline
// is 200 ms and the attempt after it comes within 150 ms.
TEST_F(AppTest, MissingSubackIsALossOnEveryAttempt) {
    Limits limits;
    limits.connectTimeout = std::chrono::milliseconds(200);
    ReconnectDelays growing;
    growing.base = std::chrono::milliseconds(20);
    growing.first = std::chrono::milliseconds(10);
    growing.perSecondWaited = 1000;
    make(limits, nullptr, growing);
    connected();
    capture([&] { link().didDisconnect(*client, tgw::mqtt::MqttError{"reset"}); });
    const int made = clientsMade;
    ASSERT_TRUE(waitUntil([&] { return clientsMade == made + 1; }));
    for (int lost = 1; lost <= 3; ++lost) {
        capture([&] { link().didConnectAck(*client, MqttConnAck::accepted); });
        ASSERT_TRUE(waitUntil([&] { return clientsMade == made + 1 + lost; }, 2000)) << lost;
        EXPECT_EQ(app->state(), ConnectionState::retrying);
    }
    capture([&] {
        link().didConnectAck(*client, MqttConnAck::accepted);
        link().didSubscribeTopic(*client, "tg/abc/tool");
    });
    EXPECT_EQ(app->state(), ConnectionState::connected);
    run(R"({"type":"sync"})", 1);
}

TEST_F(AppTest, UnacknowledgedResultsAreSentAgainOnTheNextConnection) {
    connected();
    run(R"({"type":"sync"})", 1);
    run(R"({"type":"apple"})", 2);
    capture([&] { link().didPublishAck(*client, client->nextId - 2); });  // the sync reply
    capture([&] { link().didDisconnect(*client, tgw::mqtt::MqttError{"reset"}); });
    // A result that completes while the link is down waits for it.
    testing::internal::CaptureStdout();
    command(R"({"type":"apple","action":"battery"})");
    ASSERT_TRUE(waitUntil([&] { return app->queries().runningCount() == 0; }));
    ASSERT_TRUE(waitUntil([&] { return clientsMade == 2; }));
    link().didConnectAck(*client, MqttConnAck::accepted);
    EXPECT_TRUE(client->published.empty());
    link().didSubscribeTopic(*client, "tg/abc/tool");
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(client->published.size(), 2u);
    EXPECT_NE(result(0)->data->find("ideviceinfo"), std::string::npos);
    EXPECT_NE(result(1)->data->find("idevicediagnostics"), std::string::npos);
    EXPECT_FALSE(client->published[0].dup);

    // After another login to a different account nothing of the first goes out.
    capture([&] { link().didDisconnect(*client, tgw::mqtt::MqttError{"reset"}); });
    EXPECT_EQ(capture([&] { app->start("xyz"); }), "results dropped: 2 held for another account\n");
    capture([&] {
        link().didConnectAck(*client, MqttConnAck::accepted);
        link().didSubscribeTopic(*client, "tg/xyz/tool");
    });
    EXPECT_TRUE(client->published.empty());
}

TEST_F(AppTest, ResultOfAnEarlierAccountIsDroppedNotSentToTheNextOne) {
    connected();
    qputenv("FAKE_ADB_MODE", "split");  // answers after 0.3 s
    testing::internal::CaptureStdout();
    command(R"({"type":"android"})");
    app->start("other");
    link().didConnectAck(*client, MqttConnAck::accepted);
    link().didSubscribeTopic(*client, "tg/other/tool");
    ASSERT_TRUE(waitUntil([&] { return app->queries().runningCount() == 0; }));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(client->published.empty()) << out;  // its query was ended with the switch
}

TEST_F(AppTest, LoggingOutEndsTheAccountsQueriesAndDropsWhatItHeld) {
    connected();
    qputenv("FAKE_ADB_MODE", "split");  // answers after 0.3 s
    testing::internal::CaptureStdout();
    for (int i = 0; i < 10; ++i) command(R"({"type":"android"})");
    command(R"({"type":"sync"})");
    link().didDisconnect(*client, tgw::mqtt::MqttError{"reset"});
    EXPECT_GT(app->queries().runningCount() + app->queries().waitingCount(), 0u);
    app->end();
    EXPECT_EQ(app->queries().waitingCount(), 0u);
    EXPECT_EQ(link().outbox().bytes(), 0u);
    ASSERT_TRUE(waitUntil([&] { return app->queries().runningCount() == 0; }));
    app->start("abc");  // the same account again
    link().didConnectAck(*client, MqttConnAck::accepted);
    link().didSubscribeTopic(*client, "tg/abc/tool");
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(client->published.empty());
}

TEST_F(AppTest, CommandsBeyondTheWaitingBoundAreAnsweredAtOnce) {
    Limits limits;
    limits.maxConcurrentQueries = 1;
    limits.maxWaitingQueries = 3;
    make(limits);
    connected();
    qputenv("FAKE_ADB_MODE", "split");
    for (int i = 0; i < 3; ++i) run(R"({"type":"android"})");  // 1 runs, 3 wait, 2 refused
    ASSERT_EQ(client->published.size(), 2u);
    EXPECT_EQ(result(0)->data, "error: too many queries waiting");
    EXPECT_EQ(result(1)->action, "imei");
    EXPECT_EQ(app->queries().waitingCount(), 3u);
}

TEST_F(AppTest, ShutdownSendsDisconnectAndStopsRunningTools) {
    connected();
    qputenv("FAKE_ADB_MODE", "hang");
    capture([&] { command(R"({"type":"android"})"); });
    ASSERT_EQ(app->queries().runningCount(), 2u);
    bool done = false;
    app->shutdown([&] { done = true; });
    EXPECT_EQ(client->disconnects, 1);
    // The fake never reports the end of the connection: done after 1 s anyway.
    EXPECT_TRUE(waitUntil([&] { return done && app->queries().runningCount() == 0; }, 3000));
}

TEST_F(AppTest, PayloadThatIsNotUtf8IsLoggedAndIgnored) {
    connected();
    const MqttMessage msg("tg/abc/tool", tgw::mqtt::Bytes{0xC3, 0x28});
    EXPECT_EQ(capture([&] { link().didReceiveMessage(*client, msg, 3); }),
              "didReceivedMessage:  with id 3\n"
              "command ignored: the payload is not UTF-8 text\n");
    EXPECT_TRUE(client->published.empty());
}

TEST_F(AppTest, SyncIsAnsweredWithTheFixedReply) {
    connected();
    const MqttMessage msg("tg/abc/tool", std::string_view(R"({"type":"sync","data":"x","n":1})"));
    EXPECT_EQ(capture([&] { link().didReceiveMessage(*client, msg, 9); }),
              "didReceivedMessage: {\"type\":\"sync\",\"data\":\"x\",\"n\":1} with id 9\nsync\n");
    ASSERT_EQ(client->published.size(), 1u);
    EXPECT_EQ(client->published[0].topic, "tg/abc/tool/web");
    EXPECT_EQ(client->published[0].payload, "{\"type\": \"sync\"}");
    EXPECT_EQ(client->published[0].payload.size(), 16u);
    EXPECT_EQ(client->published[0].qos, MqttQos::qos1);
    EXPECT_FALSE(client->published[0].retained);
    EXPECT_FALSE(client->published[0].dup);
}

TEST_F(AppTest, UnknownOrUndecodableCommandsPublishNothing) {
    connected();
    EXPECT_EQ(capture([&] { command(R"({"type":"Sync"})"); }), "Sync\nunknown type\n");
    EXPECT_EQ(capture([&] { command(R"({"data":"x"})"); }),
              "command ignored: \"type\" is missing\n");
    EXPECT_EQ(capture([&] { command("not json"); }).rfind("command ignored: not JSON", 0), 0u);
    EXPECT_TRUE(client->published.empty());
}

TEST(MqttApiCoding, DecodingRules) {
    struct Row {
        const char* json;
        bool ok;
        std::optional<std::string> data, action;
    };
    const Row rows[] = {
        {R"({"type":"android"})", true, std::nullopt, std::nullopt},
        {R"({"type":"android","action":null,"data":null})", true, std::nullopt, std::nullopt},
        {R"({"type":"apple","action":"battery","x":[1]})", true, std::nullopt, "battery"},
        {R"({"type":"apple","data":"","action":""})", true, "", ""},
        {R"({"data":"x"})", false, {}, {}},
        {R"({"type":5})", false, {}, {}},
        {R"({"type":"apple","action":1})", false, {}, {}},
        {R"({"type":"apple","data":{}})", false, {}, {}},
        {R"(["type"])", false, {}, {}},
        {R"({"type":"a")", false, {}, {}},
    };
    for (const Row& r : rows) {
        const auto api = MqttApi::decode(r.json);
        ASSERT_EQ(api.has_value(), r.ok) << r.json;
        if (!api) continue;
        EXPECT_EQ(api->data, r.data) << r.json;
        EXPECT_EQ(api->action, r.action) << r.json;
    }
}

TEST(MqttApiCoding, EncodingLeavesOutOnlyMissingValues) {
    EXPECT_EQ(MqttApi({"apple", "x", ""}).encode(), R"({"action":"","data":"x","type":"apple"})");
    EXPECT_EQ(MqttApi({"sync", std::nullopt, std::nullopt}).encode(), R"({"type":"sync"})");
    const std::string tricky = "line \"1\"\n\ttab \\ é \x01";
    EXPECT_EQ(MqttApi::decode(MqttApi({"android", tricky, "data"}).encode())->data, tricky);
    EXPECT_EQ(resultTopic("abc"), "tg/abc/tool/web");
    const auto chosen = MqttApi::decode(R"({"type":"android","serial":"S1","udid":null})");
    EXPECT_EQ(chosen->serial, "S1");
    EXPECT_EQ(chosen->udid, std::nullopt);
    EXPECT_FALSE(MqttApi::decode(R"({"type":"android","serial":7})"));
}

TEST_F(AppTest, AndroidPublishesPropertiesAndImei) {
    connected();
    const std::string out = run(R"({"type":"android"})", 2, 200);
    ASSERT_EQ(client->published.size(), 2u);
    const auto props = resultWith("data");
    const auto imei = resultWith("imei");
    ASSERT_TRUE(props && imei);
    EXPECT_EQ(props->type, "android");
    EXPECT_EQ(props->data, "[ro.product.model]: [Pixel 7]\n[ro.serialno]: [ABC123]\n<DONE>\n");
    EXPECT_NE(imei->data->find("3.5.9"), std::string::npos);
    EXPECT_NE(imei->data->find("<DONE>"), std::string::npos);
    // The properties text is echoed once, whole, as one line; the IMEI text is
    // not; the properties query's end writes its status.
    EXPECT_NE(out.find("[ro.product.model]: [Pixel 7]\\n[ro.serialno]: [ABC123]\\n<DONE>\\n\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Parcel"), std::string::npos);
    EXPECT_NE(out.find("\n0\n"), std::string::npos) << out;
}

TEST_F(AppTest, AndroidMarkerSplitAcrossPiecesCompletes) {
    connected();
    qputenv("FAKE_ADB_MODE", "split");
    run(R"({"type":"android"})", 2);
    EXPECT_EQ(resultWith("data")->data, "line1\n<DONE>\n");
    EXPECT_EQ(resultWith("imei")->data, "line1\n<DONE>\n");
}

TEST_F(AppTest, OutputAfterTheResultNeverReachesAnotherQuery) {
    Limits limits;
    limits.toolTimeLimit = std::chrono::milliseconds(1500);
    make(limits);
    connected();
    // A completion text, more output with another one, then the tool hangs.
    qputenv("FAKE_ADB_MODE", "errorvalue");
    const std::string out = run(R"({"type":"android"})", 2);
    ASSERT_TRUE(waitUntil([&] { return app->queries().runningCount() == 0; }));
    EXPECT_EQ(client->published.size(), 2u);  // answered once each, never again
    EXPECT_EQ(resultWith("data")->data, "[a]: [error: not really]\n");
    qputenv("FAKE_ADB_MODE", "ok");
    run(R"({"type":"android"})", 4);
    for (size_t i = 2; i < 4; ++i) EXPECT_EQ(result(i)->data->find("[b]"), std::string::npos);
}

TEST_F(AppTest, NoPhoneGivesTheBridgeFailureAsBothResults) {
    connected();
    qputenv("FAKE_ADB_MODE", "nodevice");
    run(R"({"type":"android"})", 2);
    EXPECT_EQ(resultWith("data")->data, "error: no devices/emulators found\n");
    EXPECT_EQ(resultWith("imei")->data, "error: no devices/emulators found\n");
}

TEST_F(AppTest, AppleSelectsTheToolByAction) {
    connected();
    const std::string infoOut = run(R"({"type":"apple","action":"Battery"})", 1, 300);
    auto info = result(0);
    EXPECT_EQ(info->type, "apple");
    EXPECT_EQ(info->action, "");
    EXPECT_EQ(info->data, "cmd:/usr/local/bin/ideviceinfo -x\n<plist><dict/></plist>\n<DO>\n");
    // Each piece is echoed; the end writes "errorrr???" and the status.
    EXPECT_NE(infoOut.find("cmd:/usr/local/bin/ideviceinfo -x"), std::string::npos) << infoOut;
    EXPECT_NE(infoOut.find("errorrr???\n0\n"), std::string::npos) << infoOut;

    const std::string diagOut = run(R"({"type":"apple","action":"battery"})", 2, 300);
    EXPECT_EQ(result(1)->data,
              "cmd:/usr/local/bin/idevicediagnostics diagnostics All\n"
              "<plist><dict/></plist>\n<DO>\n");
    EXPECT_EQ(diagOut.find("cmd:"), std::string::npos) << diagOut;  // no echo
    EXPECT_EQ(diagOut.find("errorrr???"), std::string::npos);

    run(R"({"type":"apple","data":"battery"})", 3);
    EXPECT_NE(result(2)->data->find("ideviceinfo"), std::string::npos);
}

TEST_F(AppTest, AppleCompletionTexts) {
    connected();
    qputenv("FAKE_RUN_MODE", "nodevice");
    run(R"({"type":"apple"})", 1);
    EXPECT_EQ(result(0)->data, "cmd:/usr/local/bin/ideviceinfo -x\nNo device found.\n");
    qputenv("FAKE_RUN_MODE", "cantconnect");
    run(R"({"type":"apple"})", 2);
    EXPECT_NE(result(1)->data->find("Could not connect"), std::string::npos);

    // "<DONE>" and "ERROR:" do not complete an Apple collection; the tool's
    // end does, and its output may be cut anywhere: the answer says so first.
    qputenv("FAKE_RUN_MODE", "upper");
    qputenv("FAKE_RUN_EXIT", "3");
    const std::string out = run(R"({"type":"apple"})", 3);
    EXPECT_EQ(result(2)->data,
              "error: ideviceinfo ended before the end marker\n"
              "cmd:/usr/local/bin/ideviceinfo -x\nERROR: something\n<DONE>\n");
    EXPECT_NE(out.find("errorrr???\n3\nideviceinfo ended without a completion text\n"),
              std::string::npos)
        << out;
}

TEST_F(AppTest, HungQueryIsAnsweredAtItsTimeLimitAndNeverLeaksIntoAnother) {
    Limits limits;
    limits.toolTimeLimit = std::chrono::milliseconds(1500);
    make(limits);
    connected();
    qputenv("FAKE_ADB_MODE", "partial");  // "ro.partial=1", then hangs
    run(R"({"type":"android"})");
    run(R"({"type":"apple","action":"battery"})", 1);
    EXPECT_EQ(resultWith("")->data,
              "cmd:/usr/local/bin/idevicediagnostics diagnostics All\n"
              "<plist><dict/></plist>\n<DO>\n");
    ASSERT_TRUE(waitUntil([&] { return client->published.size() == 3; }));
    EXPECT_EQ(resultWith("data")->data, "error: adb did not finish within 1500 ms\nro.partial=1\n");
    EXPECT_EQ(resultWith("imei")->data, "error: adb did not finish within 1500 ms\nro.partial=1\n");
    EXPECT_TRUE(waitUntil([&] { return app->queries().runningCount() == 0; }));  // stopped
}

TEST_F(AppTest, OutputBeyondTheCapStopsTheToolAndSaysSo) {
    Limits limits;
    limits.toolOutputCap = 64 * 1024;
    make(limits);
    connected();
    qputenv("FAKE_ADB_MODE", "big");
    qputenv("FAKE_ADB_BYTES", "50000000");
    run(R"({"type":"android"})", 2);
    for (const char* action : {"data", "imei"}) {
        const std::string data = *resultWith(action)->data;
        EXPECT_EQ(data.rfind("error: adb wrote more than 64 KiB; the output was cut\nppp", 0), 0u);
        EXPECT_LE(data.size(), 64 * 1024 + 100);
    }
    EXPECT_TRUE(waitUntil([&] { return app->queries().runningCount() == 0; }));

    // A result that would not fit what may wait to be sent says so instead.
    limits.maxOutboundBytes = 100 * 1024;
    make(limits);
    connected();
    qputenv("FAKE_ADB_BYTES", "60000");
    run(R"({"type":"android"})", 2);
    EXPECT_EQ(client->published.size(), 2u);
    EXPECT_EQ(result(0)->data->rfind("error: the result of adb is too large to send (", 0), 0u);
}

TEST_F(AppTest, AtMostFourQueriesRunAndEveryCommandIsAnswered) {
    connected();
    QTemporaryDir dir;
    const QString counts = dir.path() + "/running";
    QDir().mkpath(counts);
    qputenv("FAKE_COUNT_DIR", counts.toUtf8());
    testing::internal::CaptureStdout();
    for (int i = 0; i < 300; ++i) command(R"({"type":"android"})");
    const bool all = waitUntil([&] { return client->published.size() == 600; }, 120000);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(all) << client->published.size();
    QFile log(counts + ".log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    int most = 0, runs = 0;
    for (const QByteArray& line : log.readAll().split('\n')) {
        if (line.trimmed().isEmpty()) continue;
        most = std::max(most, line.trimmed().toInt());
        ++runs;
    }
    EXPECT_EQ(runs, 600);
    EXPECT_LE(most, 4);
    EXPECT_GE(most, 2);
    std::printf("300 android commands: 600 results, at most %d tools at once\n", most);
}

TEST_F(AppTest, InvalidUtf8BecomesReplacementCharactersAndTheNextResultIsClean) {
    // Needs the runner to decode invalid sequences as U+FFFD.
    connected();
    qputenv("FAKE_ADB_MODE", "badutf8");
    run(R"({"type":"android"})", 2);
    EXPECT_EQ(resultWith("data")->data, "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes\n<DONE>\n");
    qputenv("FAKE_ADB_MODE", "ok");
    run(R"({"type":"android"})", 4);
    EXPECT_EQ(result(2)->data->find("bad"), std::string::npos);
    EXPECT_EQ(result(3)->data->find("bad"), std::string::npos);
}

TEST_F(AppTest, ChosenDeviceReachesTheToolsAndComesBackInTheResult) {
    connected();
    qputenv("FAKE_ADB_MODE", "args");
    run(R"({"type":"android","serial":"R58M-1.2:3_x"})", 2);
    EXPECT_EQ(resultWith("data")->data, "args:-s R58M-1.2:3_x shell getprop && echo \"<DONE>\";\n");
    EXPECT_EQ(resultWith("data")->serial, "R58M-1.2:3_x");
    // The two queries run side by side: either result may come first.
    EXPECT_TRUE(std::any_of(client->published.begin(), client->published.begin() + 2, [](auto& p) {
        return p.payload.find(R"("action":"data","data":)") != std::string::npos;
    }));
    run(R"({"type":"apple","udid":"00008030-001A"})", 3);
    EXPECT_EQ(result(2)->data,
              "cmd:/usr/local/bin/ideviceinfo -u 00008030-001A -x\n"
              "<plist><dict/></plist>\n<DO>\n");
    EXPECT_EQ(result(2)->udid, "00008030-001A");
    run(R"({"type":"apple","action":"battery","udid":"U1"})", 4);
    EXPECT_EQ(
        result(3)->data->rfind("cmd:/usr/local/bin/idevicediagnostics -u U1 diagnostics All\n"),
        0u);

    // Invalid values run nothing and are answered in the usual shape.
    ASSERT_TRUE(waitUntil([&] { return app->queries().runningCount() == 0; }));
    run(R"({"type":"android","serial":"a b; reboot"})", 6);
    EXPECT_EQ(
        client->published[4].payload,
        R"({"action":"data","data":"error: invalid serial","serial":"a b; reboot","type":"android"})");
    EXPECT_EQ(result(5)->action, "imei");
    run(R"({"type":"apple","udid":"x\ny"})", 7);
    EXPECT_EQ(client->published[6].payload,
              R"({"action":"","data":"error: invalid udid","type":"apple","udid":"x\ny"})");
    EXPECT_EQ(app->queries().runningCount(), 0u);

    run(R"({"type":"devices"})", 8);
    EXPECT_EQ(client->published[7].payload, R"({"type":"devices","data":[]})");
}

TEST(ConsoleQuote, ShortensAndEscapes) {
    EXPECT_EQ(consoleQuote(R"({"type":"sync"})"), R"({"type":"sync"})");
    EXPECT_EQ(consoleQuote("a\nb\t\x1B[2J\x7F\xC2\x9B\xC3\xA9"),
              "a\\nb\\t\\x1B[2J\\x7F\\u009B\xC3\xA9");
    // A lead byte never swallows a control byte that follows it.
    EXPECT_EQ(consoleQuote("\xC8\x01\xC2\x01\xE2\x82"), "\\xC8\\x01\\xC2\\x01\\xE2\\x82");
    const std::string big = std::string(999, 'x') + "\xC3\xA9" + "tail";
    EXPECT_EQ(consoleQuote(big), std::string(999, 'x') + "\xC3\xA9... (1005 bytes)");
}

TEST_F(AppTest, MissingToolIsAnsweredWithAnErrorResult) {
    tgw::process::Bundle empty(QDir::tempPath() + "/no-such-resources-folder");
    make(Limits{}, &empty);
    app->start("p");
    link().didConnectAck(*client, MqttConnAck::accepted);
    link().didSubscribeTopic(*client, "tg/p/tool");
    const std::string out = capture([&] {
        app->commands().handle("p", R"({"type":"android"})");
        app->commands().handle("p", R"({"type":"apple"})");
    });
    EXPECT_NE(out.find("adb Not Found in Bundle\n"), std::string::npos) << out;
    ASSERT_EQ(client->published.size(), 3u);
    EXPECT_EQ(MqttApi::decode(client->published[0].payload)->data,
              "error: adb Not Found in Bundle");
    EXPECT_EQ(MqttApi::decode(client->published[0].payload)->action, "data");
    EXPECT_EQ(MqttApi::decode(client->published[1].payload)->action, "imei");
    EXPECT_EQ(MqttApi::decode(client->published[2].payload)->data,
              "error: run.sh Not Found in Bundle");
    EXPECT_EQ(client->published[2].topic, "tg/p/tool/web");
}
