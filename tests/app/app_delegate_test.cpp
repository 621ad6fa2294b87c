// The controller against a recording client: connection settings, reactions
// and console lines, command decoding and dispatch, and the device queries with
// stand-in tools that print fixed text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>

#include "app/app_delegate.h"
#include "support/fake_client.h"
#include "support/wait.h"

using namespace tgw::app;
using tgw::mqtt::MqttConnAck;
using tgw::mqtt::MqttMessage;
using tgw::mqtt::MqttQos;
using tgw::test::FakeClient;
using tgw::test::waitUntil;

namespace {

class Window : public LoginWindow {
  public:
    void disconnect() override { ++disconnects; }
    int disconnects = 0;
};

class AppTest : public ::testing::Test {
  protected:
    AppTest() : app(factory(), &bundle) {
        app.prefix = "abc";
        app.viewContrl = &window;
    }
    ~AppTest() override {
        qunsetenv("FAKE_ADB_MODE");
        qunsetenv("FAKE_RUN_MODE");
        qunsetenv("FAKE_RUN_EXIT");
    }

    AppDelegate::ClientFactory factory() {
        return [this](const std::string& id, const std::string& host, uint16_t port,
                      tgw::mqtt::MqttDelegate&) {
            auto c = std::make_unique<FakeClient>(id, host, port);
            client = c.get();
            return c;
        };
    }

    // Runs `command`, capturing the console, until `results` results are published.
    std::string run(const std::string& command, size_t results = 0, int settleMs = 0) {
        testing::internal::CaptureStdout();
        app.onReceivedMessage("tg/abc/tool", command);
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

    void connected() {
        app.connectMqtt();
        testing::internal::CaptureStdout();
        app.didConnectAck(*client, MqttConnAck::accepted);
        testing::internal::GetCapturedStdout();
    }

    tgw::process::Bundle bundle{TGW_TEST_APP_RESOURCES};
    Window window;
    FakeClient* client = nullptr;
    AppDelegate app;
};

std::string capture(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST_F(AppTest, ConnectUsesTheFixedSettings) {
    qputenv("TGW_BROKER_HOST", "broker.example");
    qputenv("TGW_BROKER_PORT", "18883");
    app.connectMqtt();
    qunsetenv("TGW_BROKER_HOST");
    qunsetenv("TGW_BROKER_PORT");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->id, "TGW-API-MOBILE-TOOL-" + std::to_string(::getpid()));
    EXPECT_EQ(client->hostName, "broker.example");
    EXPECT_EQ(client->portNumber, 18883);
    EXPECT_EQ(client->user, std::optional<std::string>("tanglow_web"));
    EXPECT_EQ(client->pass, std::optional<std::string>("palmoc5829"));
    EXPECT_EQ(client->keep, 60);
    EXPECT_EQ(client->connects, 1);

    FakeClient* first = client;
    app.connectMqtt();  // a second login replaces the session
    EXPECT_NE(client, first);
    EXPECT_EQ(app.mqtt.get(), client);
}

TEST_F(AppTest, SubscribesOnAcceptedConnectionOnly) {
    app.connectMqtt();
    EXPECT_EQ(capture([&] { app.didConnectAck(*client, MqttConnAck::notAuthorized); }),
              "didConnectAck: notAuthorized\xEF\xBC\x8CrawValue: 5\n");
    EXPECT_TRUE(client->subscribed.empty());
    EXPECT_EQ(capture([&] { app.didConnectAck(*client, MqttConnAck::accepted); }),
              "didConnectAck: accepted\xEF\xBC\x8CrawValue: 0\n");
    EXPECT_EQ(client->subscribed, std::vector<std::string>{"tg/abc/tool qos1"});
    app.prefix = "";
    capture([&] { app.didConnectAck(*client, MqttConnAck::accepted); });
    EXPECT_EQ(client->subscribed.back(), "tg//tool qos1");
}

TEST_F(AppTest, ConsoleLinesOfTheSessionEvents) {
    app.connectMqtt();
    const MqttMessage msg("t", std::string_view("x"));
    EXPECT_EQ(capture([&] {
                  app.didPublishMessage(*client, msg, 4);
                  app.didPublishAck(*client, 4);
                  app.didSubscribeTopic(*client, "tg/abc/tool");
                  app.didUnsubscribeTopic(*client, "tg/abc/tool");
                  app.didPing(*client);
                  app.didReceivePong(*client);
              }),
              "didPublishMessage with message\n"
              "didPublishAck with id: 4\n"
              "didSubscribeTopic to tg/abc/tool\n"
              "didUnsubscribeTopic to tg/abc/tool\n"
              "didPing\n"
              "Delegate: didReceivePong\n");
}

TEST_F(AppTest, DisconnectTellsTheWindowThenWritesItsLine) {
    app.connectMqtt();
    std::string atWindow;
    EXPECT_EQ(capture([&] { app.didDisconnect(*client, tgw::mqtt::MqttError{"gone"}); }),
              "Delegate: mqttDidDisconnect\n");
    EXPECT_EQ(window.disconnects, 1);
    app.viewContrl = nullptr;
    EXPECT_EQ(capture([&] { app.didDisconnect(*client, std::nullopt); }),
              "Delegate: mqttDidDisconnect\n");
    EXPECT_EQ(window.disconnects, 1);
}

TEST_F(AppTest, PayloadThatIsNotUtf8IsLoggedAndIgnored) {
    connected();
    const MqttMessage msg("tg/abc/tool", tgw::mqtt::Bytes{0xC3, 0x28});
    EXPECT_EQ(capture([&] { app.didReceiveMessage(*client, msg, 3); }),
              "didReceivedMessage:  with id 3\n"
              "command ignored: the payload is not UTF-8 text\n");
    EXPECT_TRUE(client->published.empty());
}

TEST_F(AppTest, SyncIsAnsweredWithTheFixedReply) {
    connected();
    const MqttMessage msg("tg/abc/tool", std::string_view(R"({"type":"sync","data":"x","n":1})"));
    EXPECT_EQ(capture([&] { app.didReceiveMessage(*client, msg, 9); }),
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
    EXPECT_EQ(capture([&] { app.onReceivedMessage("t", R"({"type":"Sync"})"); }),
              "Sync\nunknown type\n");
    EXPECT_EQ(capture([&] { app.onReceivedMessage("t", R"({"data":"x"})"); }),
              "command ignored: \"type\" is missing\n");
    EXPECT_EQ(capture([&] {
                  app.onReceivedMessage("t", "not json");
              }).rfind("command ignored: not JSON", 0),
              0u);
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
    // The properties text is echoed once, whole; the IMEI text is not; the
    // properties query's end writes its status.
    EXPECT_NE(out.find("[ro.product.model]: [Pixel 7]\n[ro.serialno]: [ABC123]\n<DONE>\n\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Parcel"), std::string::npos);
    EXPECT_NE(out.find("\n0\n"), std::string::npos) << out;
    EXPECT_TRUE(app.outputString.text().empty());
    EXPECT_TRUE(app.outputString2.text().empty());
}

TEST_F(AppTest, AndroidMarkerSplitAcrossPiecesCompletes) {
    connected();
    qputenv("FAKE_ADB_MODE", "split");
    run(R"({"type":"android"})", 2);
    EXPECT_EQ(resultWith("data")->data, "line1\n<DONE>\n");
    EXPECT_EQ(resultWith("imei")->data, "line1\n<DONE>\n");
}

TEST_F(AppTest, ValueHoldingErrorCompletesAndTheRestStartsTheNextResult) {
    connected();
    qputenv("FAKE_ADB_MODE", "errorvalue");
    run(R"({"type":"android"})", 2, 600);
    EXPECT_EQ(resultWith("data")->data, "[a]: [error: not really]\n");
    EXPECT_EQ(app.outputString.text(), "[b]: [rest]\n");  // kept for the next result
    qputenv("FAKE_ADB_MODE", "ok");
    run(R"({"type":"android"})", 4);
    EXPECT_EQ(
        MqttApi::decode(client->published[2].payload)->data->rfind("[b]: [rest]\n", 0) == 0 ||
            MqttApi::decode(client->published[3].payload)->data->rfind("[b]: [rest]\n", 0) == 0,
        true);
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

    qputenv("FAKE_RUN_MODE", "upper");
    qputenv("FAKE_RUN_EXIT", "3");
    const std::string out = run(R"({"type":"apple"})", 0, 0);
    ASSERT_TRUE(
        waitUntil([&] { return app.outputString2.text().find("<DONE>") != std::string::npos; }));
    tgw::test::processEventsFor(200);
    EXPECT_EQ(client->published.size(), 2u);  // "<DONE>" and "ERROR:" do not end an Apple query
}

TEST_F(AppTest, QueriesOfOneBufferShareIt) {
    connected();
    qputenv("FAKE_ADB_MODE", "split");
    testing::internal::CaptureStdout();
    app.onReceivedMessage("t", R"({"type":"android"})");
    app.onReceivedMessage("t", R"({"type":"android"})");
    const bool four = waitUntil([&] { return client->published.size() >= 2; }, 10000);
    tgw::test::processEventsFor(800);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(four);
    // Both properties queries wrote into outputString; every byte they wrote
    // is published exactly once, under action "data".
    std::string all;
    for (size_t i = 0; i < client->published.size(); ++i) {
        if (result(i)->action == "data") all += *result(i)->data;
    }
    all += app.outputString.text();
    EXPECT_EQ(all.size(), 2 * std::string("line1\n<DONE>\n").size());
}

TEST_F(AppTest, MissingToolIsAnsweredWithAnErrorResult) {
    tgw::process::Bundle empty(QDir::tempPath() + "/no-such-resources-folder");
    AppDelegate lonely(factory(), &empty);
    lonely.prefix = "p";
    lonely.connectMqtt();
    const std::string out = capture([&] {
        lonely.onReceivedMessage("t", R"({"type":"android"})");
        lonely.onReceivedMessage("t", R"({"type":"apple"})");
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
