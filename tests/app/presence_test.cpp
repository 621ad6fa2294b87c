// The agent's presence against a real mosquitto over TLS: the retained online
// status with the phones (stand-in device tools), its update when a phone is
// plugged in, the offline status with its reason on quitting, on switching
// account, on logging out and, through the will, when the agent's connection
// goes silent; and the CONNECT bytes with presence off and on.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "app/devices/device_watch.h"
#include "app/protocol/presence.h"
#include "mqtt/log_capture.h"
#include "support/app_harness.h"
#include "support/fake_socket.h"
#include "support/hex.h"
#include "support/tcp_relay.h"
#include "support/usb_scripted_source.h"

using namespace tgw::app;
using tgw::test::brokerConfig;
using tgw::test::MosquittoBroker;
using tgw::test::waitUntil;

namespace {

// A web service watching tg/p1/tool/status: every message with its retain flag.
class StatusWatcher : public tgw::test::WebStandIn {
  public:
    StatusWatcher(const MosquittoBroker& broker, std::string name) : WebStandIn(broker, name) {}
    bool watch() {
        if (!connect()) return false;
        session->subscribe("tg/p1/tool/status");
        return waitUntil([&] { return subscribed == 2; }, 5000);
    }
    void didSubscribeTopic(tgw::mqtt::MqttClient&, const std::string&) override {
        WebStandIn::didSubscribeTopic(*session, "");
        ++subscribed;
    }
    void didReceiveMessage(tgw::mqtt::MqttClient&, const tgw::mqtt::MqttMessage& m,
                           uint16_t) override {
        if (m.topic() != "tg/p1/tool/status") return;
        statuses.push_back(
            QJsonDocument::fromJson(QByteArray::fromStdString(*m.string())).object());
        retained.push_back(m.retained());
    }
    QString lastState() const {
        return statuses.empty() ? QString() : statuses.back()["state"].toString();
    }
    std::vector<QJsonObject> statuses;
    std::vector<bool> retained;
    int subscribed = 0;
};

class PresenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start()) << broker.log().toStdString();
        m_path = qgetenv("PATH");
        qputenv("PATH", TGW_DEVICE_TOOLS ":" + m_path);
        qputenv("FAKE_PHONES", m_dir.filePath("phones").toLocal8Bit());
        setPhones("android 0123456789ABCDEF device Pixel_7\n");
    }
    void TearDown() override {
        app.reset();
        qputenv("PATH", m_path);
        qunsetenv("FAKE_PHONES");
    }
    void setPhones(const char* lines) {
        QFile f(m_dir.filePath("phones"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(lines);
    }
    void make(Config config, uint16_t keepAlive = 60) {
        app.emplace(config, AppDelegate::Options{{}, &tools, {}, keepAlive});
        watch = std::make_unique<DeviceWatch>(app->deviceMonitor(),
                                              std::make_unique<tgw::test::ScriptedUsbSource>(
                                                  std::vector<tgw::usb::USBDevice>{}, &usb),
                                              [this] { return now; });
    }
    void connect(Config config) {
        make(config);
        app->start("p1");
        ASSERT_TRUE(waitUntil([&] { return app->state() == ConnectionState::connected; }, 10000));
    }

    MosquittoBroker broker;
    tgw::process::Bundle tools{TGW_SOURCE_RESOURCES};
    std::optional<AppDelegate> app;
    std::unique_ptr<DeviceWatch> watch;
    tgw::usb::USBDeviceSource::Handler usb;
    double now = 1e12;
    QTemporaryDir m_dir;
    QByteArray m_path;
};

TEST_F(PresenceTest, LateSubscriberSeesOnlineWithPhonesAndEveryChangeUntilQuitting) {
    connect(brokerConfig(broker));
    ASSERT_TRUE(waitUntil([&] { return app->deviceMonitor().devices().size() == 1; }, 10000));

    StatusWatcher web(broker, "w1");
    ASSERT_TRUE(web.watch());
    ASSERT_TRUE(waitUntil([&] { return !web.statuses.empty(); }));
    EXPECT_TRUE(web.retained.front());
    ASSERT_TRUE(waitUntil([&] { return web.statuses.back()["devices"].toArray().size() == 1; }));
    const QJsonObject online = web.statuses.back();
    EXPECT_EQ(online["state"], "online");
    EXPECT_EQ(online["host"], QSysInfo::machineHostName());
    EXPECT_TRUE(QDateTime::fromString(online["since"].toString(), Qt::ISODate).isValid());
    EXPECT_EQ(online["devices"],
              QJsonDocument::fromJson(devicesDataJson(app->deviceMonitor().devices())).array());

    // The "status" command is answered on the result topic, as the web
    // service's stand-in (subscribed to tg/p1/tool/web) sees it.
    tgw::test::WebStandIn results(broker, "p1");
    ASSERT_TRUE(results.connect());
    results.send(R"({"type":"status"})");
    ASSERT_TRUE(results.waitForResults(1));
    EXPECT_EQ(results.results[0], *app->link().onlineStatus());

    // A phone plugged in: a new status within 2 s.
    const size_t before = web.statuses.size();
    setPhones("android 0123456789ABCDEF device Pixel_7\napple 00008030-0011 paired Anna\n");
    QElapsedTimer clock;
    clock.start();
    usb(tgw::usb::USBDeviceSource::Change::added, {"/sys/bus/usb/devices/1-2", "iPhone"});
    ASSERT_TRUE(waitUntil(
        [&] {
            return web.statuses.size() > before &&
                   web.statuses.back()["devices"].toArray().size() == 2;
        },
        2000));
    std::printf("phone plugged in -> new status in %lld ms\n", clock.elapsed());

    bool done = false;
    clock.restart();
    app->shutdown("the test", [&] { done = true; });
    ASSERT_TRUE(waitUntil([&] { return web.lastState() == "offline"; }, 1000));
    std::printf("quit -> offline status in %lld ms\n", clock.elapsed());
    EXPECT_EQ(web.statuses.back()["reason"], "quit");
    ASSERT_TRUE(waitUntil([&] { return done; }));

    StatusWatcher late(broker, "w2");
    ASSERT_TRUE(late.watch());
    ASSERT_TRUE(waitUntil([&] { return !late.statuses.empty(); }));
    EXPECT_EQ(late.lastState(), "offline");
    EXPECT_TRUE(late.retained.back());
}

TEST_F(PresenceTest, SwitchAndLogOutSayWhyAndASilentAgentIsDeclaredLostByItsWill) {
    StatusWatcher web(broker, "w1");
    ASSERT_TRUE(web.watch());
    connect(brokerConfig(broker));
    for (const char* reason : {"switch", "logout"}) {
        ASSERT_TRUE(waitUntil([&] { return web.lastState() == "online"; }, 10000));
        if (reason == std::string("switch")) {
            app->start("p2");
        } else {
            app->end();
        }
        ASSERT_TRUE(waitUntil([&] { return web.lastState() == "offline"; }, 1000));
        EXPECT_EQ(web.statuses.back()["reason"], reason);
        app->start("p1");
    }

    // Through a relay that stops moving bytes: the broker hears nothing for
    // 1.5 keep-alive periods and publishes the will. mosquitto 2.0 looks at
    // its clients' keep-alives every 5 s, which comes on top.
    tgw::test::TcpRelay relay(broker.port());
    ASSERT_TRUE(relay.listen());
    Config config = brokerConfig(broker);
    config.brokerPort = relay.port();
    app.reset();
    make(config, 2);
    app->start("p1");
    ASSERT_TRUE(waitUntil([&] { return web.lastState() == "online"; }, 10000));
    relay.freeze();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(waitUntil([&] { return web.lastState() == "offline"; }, 10000));
    std::printf("silent agent (keep-alive 2 s) -> offline status in %lld ms\n", clock.elapsed());
    EXPECT_EQ(web.statuses.back()["reason"], "lost");
    EXPECT_LE(clock.elapsed(), 3000 + 5000 + 500);
    app.reset();
    relay.thaw();
}

// With presence off the CONNECT is byte for byte what it was before presence
// existed; with it on, the will follows the client id.
TEST(PresenceConnectTest, ConnectCarriesTheWillOnlyWithPresenceOn) {
    for (const bool presence : {false, true}) {
        SCOPED_TRACE(presence);
        Config config = Config::builtIn();
        config.presenceEnabled = presence;
        tgw::test::FakeSocket* socket = nullptr;
        AppDelegate::Options options;
        options.factory = [&](const std::string& id, const std::string& host, uint16_t port,
                              tgw::mqtt::MqttDelegate& delegate) {
            auto fake = std::make_unique<tgw::test::FakeSocket>();
            socket = fake.get();
            auto s = std::make_unique<tgw::mqtt::MqttSession>(id, host, port, std::move(fake));
            s->setDelegate(&delegate);
            return s;
        };
        AppDelegate app(config, options);
        app.start("p1");
        ASSERT_NE(socket, nullptr);
        socket->completeConnect();
        ASSERT_FALSE(socket->writes.empty());

        const std::string id = app.link().clientID();
        auto field = [](const std::string& s) {
            return std::string{char(s.size() >> 8), char(s.size() & 0xff)} + s;
        };
        std::string body = field("MQTT") + '\x04' + (presence ? '\xee' : '\xc2') +
                           std::string{'\x00', '\x3c'} + field(id);
        if (presence)
            body += field("tg/p1/tool/status") +
                    field(R"({"type":"status","state":"offline","reason":"lost"})");
        body += field("tanglow_web") + field("palmoc5829");
        std::string expected = "\x10";
        for (size_t n = body.size(); n > 0; n >>= 7)
            expected += char((n & 0x7f) | (n > 127 ? 0x80 : 0));
        expected += body;
        const tgw::test::Bytes& written = socket->writes.front().bytes;
        EXPECT_EQ(std::string(written.begin(), written.end()), expected);
    }
}

}  // namespace
