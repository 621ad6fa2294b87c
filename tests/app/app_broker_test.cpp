// The controller with its real session against a real mosquitto over TLS; a
// second session plays the web service.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include "app/app_delegate.h"
#include "mqtt/session.h"
#include "support/mosquitto_broker.h"
#include "support/recording_delegate.h"
#include "support/wait.h"

using namespace tgw::app;
using namespace tgw::mqtt;
using tgw::test::MosquittoBroker;
using tgw::test::RecordingDelegate;
using tgw::test::waitUntil;

namespace {

class AppBrokerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start()) << broker.log().toStdString();
        qputenv("TGW_BROKER_HOST", "localhost");
        qputenv("TGW_BROKER_PORT", QByteArray::number(broker.port()));
        qputenv("TGW_CA_FILE", MosquittoBroker::caFile().toUtf8());
    }
    void TearDown() override {
        qunsetenv("TGW_BROKER_HOST");
        qunsetenv("TGW_BROKER_PORT");
        qunsetenv("TGW_CA_FILE");
    }

    // Logs the agent in and connects the web service's stand-in.
    void connectBoth(AppDelegate& app) {
        app.prefix = "p1";
        app.connectMqtt();
        auto* agent = static_cast<MqttSession*>(app.mqtt.get());
        ASSERT_TRUE(waitUntil([&] { return agent->subscriptions().size() == 1; }, 10000));

        web = AppDelegate::makeSession("web-service", "localhost", broker.port(), webEvents);
        web->setUsername(AppDelegate::kUsername);
        web->setPassword(AppDelegate::kPassword);
        web->connect();
        ASSERT_TRUE(waitUntil([&] { return webEvents.has("connack accepted"); }, 10000));
        web->subscribe("tg/p1/tool/web");
        ASSERT_TRUE(waitUntil([&] { return webEvents.has("subscribed"); }));
    }

    std::vector<MqttApi> results() const {
        std::vector<MqttApi> out;
        for (const std::string& e : webEvents.events) {
            const std::string head = "message tg/p1/tool/web ";
            if (e.rfind(head, 0) != 0) continue;
            const std::string rest = e.substr(head.size());
            if (auto api = MqttApi::decode(rest.substr(0, rest.rfind(" qos")))) out.push_back(*api);
        }
        return out;
    }

    bool command(const char* json, size_t expectResults) {
        web->publish("tg/p1/tool", json);
        return waitUntil([&] { return results().size() >= expectResults; }, 20000);
    }

    MosquittoBroker broker;
    RecordingDelegate webEvents;
    std::unique_ptr<MqttClient> web;
};

}  // namespace

TEST_F(AppBrokerTest, CommandsFromTheWebServiceAreAnsweredOnTheResultTopic) {
    const tgw::process::Bundle tools(TGW_TEST_APP_RESOURCES);
    AppDelegate app(AppDelegate::makeSession, &tools);
    connectBoth(app);

    web->publish("tg/p1/tool", R"({"type":"sync"})");
    ASSERT_TRUE(
        waitUntil([&] { return webEvents.has("message tg/p1/tool/web {\"type\": \"sync\"}"); }));

    ASSERT_TRUE(command(R"({"type":"android"})", 3));
    ASSERT_TRUE(command(R"({"type":"apple"})", 4));
    const auto r = results();
    EXPECT_EQ(r[1].type, "android");
    EXPECT_EQ(r[2].type, "android");
    EXPECT_NE(r[1].action, r[2].action);
    EXPECT_EQ(r[3].type, "apple");
    EXPECT_EQ(r[3].data, "cmd:/usr/local/bin/ideviceinfo -x\n<plist><dict/></plist>\n<DO>\n");
}

TEST_F(AppBrokerTest, RealToolsWithNoPhoneAnswerWithTheirFailureTexts) {
    const tgw::process::Bundle shipped(TGW_BUILD_RESOURCES);
    AppDelegate app(AppDelegate::makeSession, &shipped);
    connectBoth(app);
    auto count = [&](const std::string& type, const std::string& text) {
        int n = 0;
        for (const MqttApi& r : results())
            n += r.type == type && r.data->find(text) != std::string::npos;
        return n;
    };
    web->publish("tg/p1/tool", R"({"type":"android"})");
    const bool android = waitUntil([&] { return count("android", "error:") == 2; }, 20000);
    // ideviceinfo: "ERROR: No device found!"; idevicediagnostics: "No device found."
    web->publish("tg/p1/tool", R"({"type":"apple"})");
    const bool info = waitUntil([&] { return count("apple", "No device found!") == 1; }, 20000);
    web->publish("tg/p1/tool", R"({"type":"apple","action":"battery"})");
    const bool battery = waitUntil([&] { return count("apple", "No device found.") == 1; }, 20000);
    QProcess::execute("adb", {"kill-server"});  // the server our adb calls started
    EXPECT_TRUE(android);
    EXPECT_TRUE(info);
    EXPECT_TRUE(battery);
}
