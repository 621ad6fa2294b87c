// The whole agent under faults, against a real mosquitto: a frozen and a
// killed broker, bursts and long runs of commands, and tools that hang or
// flood. Keep-alive is 2 s here so that a dead link shows within seconds.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "support/app_harness.h"
#include "support/proc_status.h"

using namespace tgw;
using app::AppDelegate;
using app::ConnectionState;
using test::MosquittoBroker;
using test::waitUntil;

namespace {

MosquittoBroker::Options brokerOptions() {
    MosquittoBroker::Options o;
    // mosquitto's default (1,000 queued messages per client) would drop commands
    // of a burst before the agent sees them.
    o.extraConfig = "max_queued_messages 0";
    return o;
}

class FaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start());
        startAgent(app::Limits{});
        ASSERT_TRUE(web.connect());
    }
    void TearDown() override {
        for (const char* v : {"FAKE_ADB_MODE", "FAKE_RUN_MODE"}) qunsetenv(v);
    }

    // A new agent with `limits`, logged in as "f" and connected.
    void startAgent(const app::Limits& limits) {
        app::Config config = test::brokerConfig(broker);
        config.limits = limits;
        agent.reset();
        agent.emplace(config, AppDelegate::Options{{}, &tools, {}, 2});
        agent->setLoginWindow(&window);
        agent->start("f");
        ASSERT_TRUE(waitUntil([&] { return agent->state() == ConnectionState::connected; }, 10000));
    }

    int syncReplies() const { return web.syncReplies; }
    int results() const { return web.otherResults; }

    process::Bundle tools{TGW_TEST_APP_RESOURCES};
    MosquittoBroker broker{brokerOptions()};
    test::StateRecorder window;
    std::optional<AppDelegate> agent;
    test::WebStandIn web{broker, "f"};
};

}  // namespace

TEST_F(FaultsTest, FrozenBrokerIsNoticedWithinTwoPingPeriods) {
    broker.freeze();
    QElapsedTimer since;
    since.start();
    const bool noticed = waitUntil([&] { return window.saw(ConnectionState::retrying); }, 10000);
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
    ASSERT_TRUE(waitUntil([&] { return window.saw(ConnectionState::retrying); }, 5000));
    std::printf("killed broker noticed after %lld ms\n", since.elapsed());
    EXPECT_LT(since.elapsed(), 1000);
}

TEST_F(FaultsTest, BurstOfSyncCommandsIsAnsweredInFull) {
    // Needs the session's outbound buffer to be bounded by bytes rather than by
    // a count of frames.
    constexpr int kCommands = 5000;
    testing::internal::CaptureStdout();  // the agent's console: several lines a command
    QElapsedTimer since;
    since.start();
    for (int i = 0; i < kCommands; ++i) web.send(R"({"type":"sync"})");
    const bool all = waitUntil([&] { return syncReplies() == kCommands; }, 120000);
    testing::internal::GetCapturedStdout();
    std::printf("burst: %d of %d sync commands answered in %lld ms\n", syncReplies(), kCommands,
                since.elapsed());
    EXPECT_TRUE(all);
}

TEST_F(FaultsTest, LongRunOfCommandsDoesNotGrowMemory) {
    constexpr int kBatches = 10;
    web.keepResults = false;
    long afterFirst = 0;
    int expectedSync = 0;
    testing::internal::CaptureStdout();
    for (int batch = 0; batch < kBatches; ++batch) {
        for (int i = 0; i < 1000; ++i) {
            if (i % 10 == 3) {
                web.send(R"({"type":"android"})");
            } else if (i % 10 == 7) {
                web.send(i % 20 == 7 ? R"({"type":"apple"})"
                                     : R"({"type":"apple","action":"battery"})");
            } else {
                web.send(R"({"type":"sync"})");
                ++expectedSync;
            }
        }
        const bool answered = waitUntil([&] { return syncReplies() == expectedSync; }, 120000);
        // Then until the tools' results stop coming.
        int lastResults = -1;
        waitUntil(
            [&] {
                if (results() == lastResults) return true;
                lastResults = results();
                tgw::test::processEventsFor(500);
                return false;
            },
            60000);
        if (!answered) break;
        if (batch == 0) afterFirst = test::procStatus("VmRSS:");
    }
    const long afterAll = test::procStatus("VmRSS:");  // before the captured text is read in
    testing::internal::GetCapturedStdout();
    std::printf(
        "10,000 commands: %d sync replies, %d tool results; RSS %ld KiB after 1,000, "
        "%ld KiB after 10,000\n",
        syncReplies(), results(), afterFirst, afterAll);
    EXPECT_EQ(syncReplies(), expectedSync);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine grows by design
    EXPECT_LE(afterAll, afterFirst * 11 / 10);
#endif
}

TEST_F(FaultsTest, HangingAndFloodingToolsAreStoppedAndAnswered) {
    app::Limits limits;
    limits.toolTimeLimit = std::chrono::seconds(3);
    startAgent(limits);
    qputenv("FAKE_ADB_MODE", "hang");
    qputenv("FAKE_RUN_MODE", "flood");  // 200 MB
    testing::internal::CaptureStdout();
    web.send(R"({"type":"android"})");
    web.send(R"({"type":"apple","action":"battery"})");
    QElapsedTimer since;
    since.start();
    web.send(R"({"type":"sync"})");
    const bool answered = waitUntil([&] { return syncReplies() == 1; }, 10000);
    const qint64 syncMs = since.elapsed();
    const bool all = waitUntil([&] { return results() == 3; }, 20000);
    testing::internal::GetCapturedStdout();
    std::printf("sync answered in %lld ms while one tool hangs and one floods\n", syncMs);
    EXPECT_TRUE(answered);
    EXPECT_LT(syncMs, 2000);
    ASSERT_TRUE(all);
    int cut = 0, late = 0;
    for (const std::string& r : web.results) {
        const auto api = app::MqttApi::decode(r);
        if (!api || !api->data) continue;
        cut += api->data->rfind("error: idevicediagnostics wrote more than 16 MiB", 0) == 0;
        late += *api->data == "error: adb did not finish within 3 s";
        EXPECT_LE(r.size(), (size_t{16} << 20) + 200);
    }
    EXPECT_EQ(cut, 1);
    EXPECT_EQ(late, 2);
    EXPECT_TRUE(waitUntil([&] { return agent->queries().runningCount() == 0; }));
}
