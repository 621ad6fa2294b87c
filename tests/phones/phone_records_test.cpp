// Each ready phone's record on its own retained topic, against simulated
// phones behind the real adb and libimobiledevice tools and a real mosquitto:
// it appears when the phone is ready, is cleared when the phone goes, is
// cleared by the log-out's goodbye and not made again for that account, and
// is never made with the setting off.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "app/devices/device_monitor.h"
#include "process/bundle.h"
#include "support/app_harness.h"
#include "support/phones/simulated_phones.h"

using namespace tgw::app;
using tgw::test::MosquittoBroker;
using tgw::test::SimulatedPhones;
using tgw::test::waitUntil;

namespace {

// Sees every phone record and status of every account, with its retain flag.
class RecordWatcher : public tgw::test::WebStandIn {
  public:
    RecordWatcher(const MosquittoBroker& broker, std::string name)
        : WebStandIn(broker, std::move(name)) {}
    void didConnectAck(tgw::mqtt::MqttClient& c, tgw::mqtt::MqttConnAck) override {
        c.subscribe("tg/+/tool/phones/#");
        c.subscribe("tg/+/tool/status");
    }
    void didReceiveMessage(tgw::mqtt::MqttClient&, const tgw::mqtt::MqttMessage& m,
                           uint16_t) override {
        seen.push_back({m.topic(), m.string().value_or(""), m.retained()});
    }
    struct Seen {
        std::string topic, payload;
        bool retained;
    };
    // The last message on `topic`, if any.
    std::optional<Seen> last(const std::string& topic) const {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it)
            if (it->topic == topic) return *it;
        return std::nullopt;
    }
    bool waitFor(const std::string& topic, bool record) {
        return waitUntil(
            [&] {
                const auto m = last(topic);
                return m && m->payload.empty() != record;
            },
            30000);
    }
    std::vector<Seen> seen;
};

// One Android phone and one iPhone, a broker, and the agent logged in as p1.
class PhoneRecordsTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { s_phones = new SimulatedPhones({1, 1}); }
    static void TearDownTestSuite() { delete s_phones; }

    void SetUp() override {
        ASSERT_TRUE(s_phones->ok()) << s_phones->error();
        ASSERT_TRUE(broker.start()) << broker.log().toStdString();
        ASSERT_TRUE(watcher.connect());
    }
    void logIn(bool identify, const std::string& prefix = "p1") {
        Config config = tgw::test::brokerConfig(broker);
        config.identifyOnAttach = identify;
        app.emplace(config, AppDelegate::Options{{}, &tools, {}, AppDelegate::kKeepAlive});
        QObject::connect(&app->deviceMonitor(), &DeviceMonitor::devicesChanged,
                         &app->deviceMonitor(), [this] { ++listings; });
        app->start(prefix);
        ASSERT_TRUE(waitUntil([&] { return app->state() == ConnectionState::connected; }, 10000));
    }
    // A fresh listing, as a USB event would start it; true once it is done.
    bool relist() {
        const int before = listings;
        app->deviceMonitor().refresh();
        return waitUntil([&] { return listings > before; }, 30000);
    }
    // The cable pulled or put back: adb forgets a phone attached over TCP
    // only when told to.
    static void plugAndroid(bool in) {
        const QString serial = s_phones->androidSerials()[0];
        s_phones->control(in ? "plug android 0" : "unplug android 0");
        SimulatedPhones::runTool("adb", {in ? "connect" : "disconnect", serial});
    }
    static std::string topic(const QString& id, const char* prefix = "p1") {
        return phoneTopic(prefix, id.toStdString());
    }

    static inline SimulatedPhones* s_phones = nullptr;
    MosquittoBroker broker;
    RecordWatcher watcher{broker, "records"};
    const tgw::process::Bundle tools{TGW_SOURCE_RESOURCES};
    std::optional<AppDelegate> app;
    int listings = 0;
};

}  // namespace

TEST_F(PhoneRecordsTest, ARecordAppearsWhenAPhoneIsReadyAndGoesWithIt) {
    logIn(true);
    const QString serial = s_phones->androidSerials()[0], udid = s_phones->iphoneUdids()[0];
    ASSERT_TRUE(relist());
    ASSERT_TRUE(watcher.waitFor(topic(serial), true));
    ASSERT_TRUE(watcher.waitFor(topic(udid), true));

    // The record is the identity result, byte for byte, and stays retained.
    tgw::test::WebStandIn web(broker, "p1");
    ASSERT_TRUE(web.connect());
    web.send(R"({"type":"identity","serial":")" + serial.toStdString() + "\"}");
    ASSERT_TRUE(web.waitForResults(1, 30000));
    RecordWatcher late(broker, "late");
    ASSERT_TRUE(late.connect());
    ASSERT_TRUE(late.waitFor(topic(serial), true));
    EXPECT_EQ(late.last(topic(serial))->payload, web.results[0]);
    EXPECT_TRUE(late.last(topic(serial))->retained);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(late.last(topic(udid))->payload))
                  .object()["model"],
              "iPhone15,3");

    // Unplugged: cleared; plugged in again: read again.
    s_phones->control("unplug iphone 0");
    plugAndroid(false);
    ASSERT_TRUE(relist());
    ASSERT_TRUE(watcher.waitFor(topic(udid), false));
    ASSERT_TRUE(watcher.waitFor(topic(serial), false));
    s_phones->control("plug iphone 0");
    plugAndroid(true);
    ASSERT_TRUE(relist());
    ASSERT_TRUE(watcher.waitFor(topic(udid), true));
    ASSERT_TRUE(watcher.waitFor(topic(serial), true));

    // Logging out clears both before the offline status; nothing follows for p1.
    app->end();
    ASSERT_TRUE(waitUntil([&] {
        const auto status = watcher.last("tg/p1/tool/status");
        return status && status->payload.find("logout") != std::string::npos;
    }));
    EXPECT_TRUE(watcher.last(topic(serial))->payload.empty());
    EXPECT_TRUE(watcher.last(topic(udid))->payload.empty());
    const size_t seen = watcher.seen.size();
    s_phones->control("unplug iphone 0");
    ASSERT_TRUE(relist());
    s_phones->control("plug iphone 0");
    ASSERT_TRUE(relist());
    EXPECT_EQ(app->queries().runningCount() + app->queries().waitingCount(), 0u);
    EXPECT_EQ(app->phoneRecords().count(), 0u);
    EXPECT_EQ(app->link().client(), nullptr);
    EXPECT_EQ(watcher.seen.size(), seen);
    // A late subscriber finds the offline status and no record: the broker has
    // sent what it retains once a message published after subscribing comes.
    RecordWatcher after(broker, "after");
    ASSERT_TRUE(after.connect());
    after.session->publish("tg/marker/tool/status", "marker");
    ASSERT_TRUE(after.waitFor("tg/marker/tool/status", true));
    ASSERT_EQ(after.seen.size(), 2u);
    EXPECT_EQ(after.seen[0].topic, "tg/p1/tool/status");
}

TEST_F(PhoneRecordsTest, WithTheSettingOffNoPhoneIsRead) {
    logIn(false, "p2");
    ASSERT_TRUE(relist());
    ASSERT_EQ(app->deviceMonitor().devices().size(), 2u);
    EXPECT_EQ(app->queries().runningCount() + app->queries().waitingCount(), 0u);
    tgw::test::WebStandIn web(broker, "p2");
    ASSERT_TRUE(web.connect());
    web.send(R"({"type":"sync"})");
    ASSERT_TRUE(web.waitForResults(1));
    for (const auto& m : watcher.seen) EXPECT_TRUE(m.topic.ends_with("/status")) << m.topic;
}

// An id the tools may be given is one topic level.
TEST(PhoneTopic, IdsThatAreNoTopicLevelAreRefused) {
    for (const QString& id : {QString(), QString("+"), QString("#"), QString("a/b"), QString("a+"),
                              QString(QChar(0)), QString("a b")})
        EXPECT_FALSE(isValidDeviceId(id)) << id.toStdString();
    EXPECT_EQ(phoneTopic("p1", "127.0.0.1:5555"), "tg/p1/tool/phones/127.0.0.1:5555");
}
