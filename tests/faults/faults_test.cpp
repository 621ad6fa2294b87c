// The whole agent under faults, against a real mosquitto: a frozen and a
// killed broker, bursts and long runs of commands, and tools that hang or
// flood. Keep-alive is 2 s here so that a dead link shows within seconds.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "app/app_delegate.h"
#include "app/settings.h"
#include "mqtt/session.h"
#include "support/mosquitto_broker.h"
#include "support/proc_status.h"
#include "support/recording_delegate.h"
#include "support/wait.h"
#include "ui/view_controller.h"

using namespace tgw;
using app::AppDelegate;
using test::MosquittoBroker;
using test::waitUntil;

namespace {

// Counts what the web service's stand-in receives, without keeping it all.
class WebService : public mqtt::MqttDelegate {
  public:
    void didConnectAck(mqtt::MqttClient&, mqtt::MqttConnAck ack) override {
        accepted = ack == mqtt::MqttConnAck::accepted;
    }
    void didPublishMessage(mqtt::MqttClient&, const mqtt::MqttMessage&, uint16_t) override {}
    void didPublishAck(mqtt::MqttClient&, uint16_t) override {}
    void didReceiveMessage(mqtt::MqttClient&, const mqtt::MqttMessage& m, uint16_t) override {
        const std::string text = m.string().value_or("");
        if (text == app::kSyncReply) {
            ++syncReplies;
        } else {
            ++results;
        }
    }
    void didSubscribeTopic(mqtt::MqttClient&, const std::string&) override { subscribed = true; }
    void didUnsubscribeTopic(mqtt::MqttClient&, const std::string&) override {}
    void didPing(mqtt::MqttClient&) override {}
    void didReceivePong(mqtt::MqttClient&) override {}
    void didDisconnect(mqtt::MqttClient&, const std::optional<mqtt::MqttError>&) override {}

    bool accepted = false;
    bool subscribed = false;
    int syncReplies = 0;
    int results = 0;
};

class FaultsTest : public ::testing::Test {
  protected:
    FaultsTest() : agent(AppDelegate::makeSession, &tools), window(agent) {}

    void SetUp() override {
        ASSERT_TRUE(broker.start());
        qputenv("TGW_BROKER_HOST", "localhost");
        qputenv("TGW_BROKER_PORT", QByteArray::number(broker.port()));
        qputenv("TGW_CA_FILE", MosquittoBroker::caFile().toUtf8());
        agent.prefix = "f";
        agent.keepAlive = 2;
        agent.connectMqtt();
        auto* session = static_cast<mqtt::MqttSession*>(agent.mqtt.get());
        ASSERT_TRUE(waitUntil([&] { return session->subscriptions().size() == 1; }, 10000));

        web = std::make_unique<mqtt::MqttSession>("web", "localhost", broker.port());
        web->setDelegate(&webService);
        web->setEnableSSL(true);
        web->setExtraCaCertificates(app::extraCaCertificates());
        web->setUsername(AppDelegate::kUsername);
        web->setPassword(AppDelegate::kPassword);
        web->connect();
        ASSERT_TRUE(waitUntil([&] { return webService.accepted; }, 10000));
        web->subscribe("tg/f/tool/web");
        ASSERT_TRUE(waitUntil([&] { return webService.subscribed; }));
    }
    void TearDown() override {
        for (const char* v : {"TGW_BROKER_HOST", "TGW_BROKER_PORT", "TGW_CA_FILE", "FAKE_ADB_MODE",
                              "FAKE_RUN_MODE"}) {
            qunsetenv(v);
        }
    }

    // Sends a command, keeping the stand-in's own outbound queue short.
    void send(const char* command) {
        waitUntil([&] { return web->frameBuffer().waitingCount() < 500; }, 30000);
        web->publish("tg/f/tool", command);
    }

    bool windowShowsConnectionLost() const {
        return window.statusLabel()->text() == "Verbinding verbroken" &&
               window.connectButton()->isEnabled();
    }

    process::Bundle tools{TGW_TEST_APP_RESOURCES};
    MosquittoBroker broker;
    AppDelegate agent;
    ui::ViewController window;
    WebService webService;
    std::unique_ptr<mqtt::MqttSession> web;
};

}  // namespace

TEST_F(FaultsTest, FrozenBrokerIsNoticedWithinTwoPingPeriods) {
    broker.freeze();
    QElapsedTimer since;
    since.start();
    const bool noticed = waitUntil([&] { return windowShowsConnectionLost(); }, 10000);
    const double seconds = since.elapsed() / 1000.0;
    broker.thaw();
    std::printf("frozen broker noticed after %.2f s (keep-alive 2 s, ping period 2 s)\n", seconds);
    ASSERT_TRUE(noticed);
    EXPECT_LE(seconds, 2 * 2 + 0.5);
}

TEST_F(FaultsTest, KilledBrokerIsNoticedAtOnce) {
    QElapsedTimer since;
    since.start();
    broker.kill();
    ASSERT_TRUE(waitUntil([&] { return windowShowsConnectionLost(); }, 5000));
    std::printf("killed broker noticed after %lld ms\n", since.elapsed());
    EXPECT_LT(since.elapsed(), 1000);
}

TEST_F(FaultsTest, BurstOfSyncCommandsIsAnsweredOrVisiblyRefused) {
    // The outbound buffer holds 2,001 waiting frames; when commands come in
    // faster than the broker acknowledges the replies, the rest are refused by
    // the buffer (each with its own log line) rather than queued without end.
    constexpr int kCommands = 5000;
    auto* session = static_cast<mqtt::MqttSession*>(agent.mqtt.get());
    auto refused = [&] { return static_cast<int>(session->frameBuffer().abandonedCount()); };
    testing::internal::CaptureStdout();  // the agent's console: several lines a command
    for (int i = 0; i < kCommands; ++i) send(R"({"type":"sync"})");
    const bool settled =
        waitUntil([&] { return webService.syncReplies + refused() == kCommands; }, 120000);
    testing::internal::GetCapturedStdout();
    std::printf("burst: %d of %d sync commands answered, %d replies refused by the full buffer\n",
                webService.syncReplies, kCommands, refused());
    EXPECT_TRUE(settled);
    EXPECT_EQ(webService.syncReplies + refused(), kCommands);
}

TEST_F(FaultsTest, LongRunOfCommandsDoesNotGrowMemory) {
    constexpr int kBatches = 10;
    long afterFirst = 0;
    int expectedSync = 0;
    testing::internal::CaptureStdout();
    for (int batch = 0; batch < kBatches; ++batch) {
        for (int i = 0; i < 1000; ++i) {
            if (i % 10 == 3) {
                send(R"({"type":"android"})");
            } else if (i % 10 == 7) {
                send(i % 20 == 7 ? R"({"type":"apple"})"
                                 : R"({"type":"apple","action":"battery"})");
            } else {
                send(R"({"type":"sync"})");
                ++expectedSync;
            }
        }
        const bool answered =
            waitUntil([&] { return webService.syncReplies == expectedSync; }, 120000);
        // Then until the tools' results stop coming.
        int lastResults = -1;
        waitUntil(
            [&] {
                if (webService.results == lastResults) return true;
                lastResults = webService.results;
                tgw::test::processEventsFor(500);
                return false;
            },
            60000);
        if (!answered) break;
        if (batch == 0) afterFirst = test::procStatus("VmRSS:");
    }
    testing::internal::GetCapturedStdout();
    const long afterAll = test::procStatus("VmRSS:");
    std::printf(
        "10,000 commands: %d sync replies, %d tool results; RSS %ld KiB after 1,000, "
        "%ld KiB after 10,000\n",
        webService.syncReplies, webService.results, afterFirst, afterAll);
    EXPECT_EQ(webService.syncReplies, expectedSync);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine grows by design
    EXPECT_LE(afterAll, afterFirst * 11 / 10);
#endif
}

TEST_F(FaultsTest, HangingAndFloodingToolsLeaveTheAgentResponsive) {
    qputenv("FAKE_ADB_MODE", "hang");
    qputenv("FAKE_RUN_MODE", "flood");
    testing::internal::CaptureStdout();
    send(R"({"type":"android"})");
    send(R"({"type":"apple","action":"battery"})");
    const bool flooding =
        waitUntil([&] { return agent.outputString.text().size() > 10'000'000; }, 20000);
    QElapsedTimer since;
    since.start();
    send(R"({"type":"sync"})");
    const bool answered = waitUntil([&] { return webService.syncReplies == 1; }, 10000);
    testing::internal::GetCapturedStdout();
    std::printf("sync answered in %lld ms while one tool hangs and one floods\n", since.elapsed());
    EXPECT_TRUE(flooding);
    EXPECT_TRUE(answered);
    EXPECT_LT(since.elapsed(), 2000);
}
