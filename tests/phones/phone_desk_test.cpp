// The phone desk against simulated phones, through the real adb and
// libimobiledevice tools: identity per phone, the raw battery actions byte for
// byte, and a command's id on each of its results.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "app/devices/device_monitor.h"
#include "app/identity/imei_reader.h"
#include "app/queries/command_handler.h"
#include "app/queries/query_runner.h"
#include "process/bundle.h"
#include "support/phones/simulated_phones.h"
#include "support/wait.h"

using namespace tgw::app;
using tgw::test::SimulatedPhones;

namespace {

// Phones 0 (one SIM), 1 (dual SIM), 2 (USB debugging not allowed), 3 (IMEI
// refused), iPhones 0 (trusted) and 1 (not yet); the agent's handler, runner
// and listing in front.
class PhoneDesk : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_phones = new SimulatedPhones({4,
                                        2,
                                        {"android:1:dual_sim", "android:2:unauthorized",
                                         "android:3:imei_refused", "iphone:1:unauthorized"}});
    }
    static void TearDownTestSuite() { delete s_phones; }

    void SetUp() override {
        ASSERT_TRUE(s_phones->ok()) << s_phones->error();
        runner.setAccount("acct");
    }

    // The results of `commands`, once `count` have come.
    std::vector<std::string> ask(std::vector<std::string> commands, size_t count,
                                 CommandHandler* via = nullptr) {
        for (const std::string& c : commands) (via ? *via : handler).handle("acct", c);
        EXPECT_TRUE(tgw::test::waitUntil([&] { return results.size() >= count; }, 60000))
            << results.size();
        return std::exchange(results, {});
    }
    static QString serial(int i) { return s_phones->androidSerials()[i]; }

    static inline SimulatedPhones* s_phones = nullptr;
    const tgw::process::Bundle tools{TGW_SOURCE_RESOURCES};
    std::vector<std::string> results;
    DeviceMonitor monitor{&tools};
    QueryRunner runner{Limits{}, &tools,
                       [this](std::string, std::string r) { results.push_back(r); }};
    CommandHandler handler{runner, monitor,
                           [this](std::string, std::string r) { results.push_back(r); }};
};

}  // namespace

TEST_F(PhoneDesk, IdentityOfEachPhoneComesFromItsTools) {
    std::map<QString, QJsonObject> byPhone;
    for (const std::string& r : ask({R"({"type":"identity","id":"desk-1"})"}, 6)) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r)).object();
        EXPECT_EQ(o["id"], "desk-1") << r;
        byPhone[o[o["platform"] == "apple" ? "udid" : "serial"].toString()] = o;
    }
    ASSERT_EQ(byPhone.size(), 6u);
    auto json = [](const char* text) { return QJsonDocument::fromJson(text).object(); };
    QJsonObject single = byPhone[serial(0)];
    single.remove("serial");
    single.remove("unread");  // the battery members dumpsys does not tell
    EXPECT_EQ(
        single,
        json(
            R"({"type":"identity","id":"desk-1","platform":"android","state":"device","model":"Pixel 8","manufacturer":"Google","os_version":"14","serial_number":"2B201FDH300000","imei":["356938035643809"],"battery":{"level_percent":78,"charging":true}})"));
    const QJsonArray dual = byPhone[serial(1)]["imei"].toArray();
    ASSERT_EQ(dual.size(), 2);
    EXPECT_TRUE(isImei(dual[0].toString()) && isImei(dual[1].toString()) && dual[0] != dual[1]);

    const QJsonObject unauthorized = byPhone[serial(2)];
    EXPECT_EQ(unauthorized["state"], "unauthorized");
    EXPECT_FALSE(unauthorized.contains("model"));
    EXPECT_EQ(unauthorized["unread"]["imei"], "USB debugging is not yet allowed on the phone");

    const QJsonObject refused = byPhone[serial(3)];
    EXPECT_FALSE(refused.contains("imei"));
    EXPECT_TRUE(refused["unread"]["imei"].toString().contains(
        "SecurityException: getDeviceId: The user 2000 does not meet the requirements"))
        << refused["unread"]["imei"].toString().toStdString();

    // Written byte for byte: the members in their order.
    EXPECT_EQ(
        ask({R"({"type":"identity","udid":")" + s_phones->iphoneUdids()[0].toStdString() + "\"}"},
            1),
        std::vector<std::string>{
            R"({"type":"identity","platform":"apple","udid":"00008110-001A2C3E0E91801E","state":"paired","model":"iPhone15,3","manufacturer":"Apple","os_version":"17.5","serial_number":"F4GZK0001000","imei":["356938035643809"],"battery":{"level_percent":78,"health_percent":97,"cycle_count":143,"design_capacity_mah":4355,"full_charge_capacity_mah":4210,"charging":true}})"});
    const QJsonObject untrusted = byPhone[s_phones->iphoneUdids()[1]];
    EXPECT_EQ(untrusted["state"], "unpaired");
    EXPECT_EQ(untrusted["unread"]["battery"], "the iPhone has not trusted this computer");

    // No tools to list the phones with: the answer says so.
    {
        tgw::test::EnvGuard noTools{{"PATH", "/nonexistent"}};
        EXPECT_EQ(
            ask({R"({"type":"identity"})"}, 1),
            std::vector<std::string>{
                R"({"data":"error: no phone is attached; adb is not installed; idevice_id is not installed","type":"identity"})"});
    }
    // A phone that is not there.
    EXPECT_EQ(
        ask({R"({"type":"identity","udid":"00008110-0000000000000000"})"}, 1),
        std::vector<std::string>{
            R"({"data":"error: no iPhone with udid 00008110-0000000000000000 is attached","type":"identity","udid":"00008110-0000000000000000"})"});
}

TEST_F(PhoneDesk, RawActionsAndIdsCarryTheToolsOwnBytes) {
    const QString battery = SimulatedPhones::runTool(
        "adb", {"-s", serial(0), "shell", "dumpsys", "battery", "&& echo \"<DONE>\";"});
    const QString health = SimulatedPhones::runTool(
        "idevicediagnostics",
        {"-u", s_phones->iphoneUdids()[0], "ioregentry", "AppleSmartBattery"});
    ASSERT_TRUE(battery.contains("level: 78") && health.contains("NominalChargeCapacity"));
    const std::string s0 = serial(0).toStdString();
    const std::string u0 = s_phones->iphoneUdids()[0].toStdString();
    std::vector<std::string> got =
        ask({R"({"type":"android","action":"battery","id":"b-1","serial":")" + s0 + "\"}",
             R"({"type":"apple","action":"battery-health","id":"b-2","udid":")" + u0 + "\"}",
             R"({"type":"sync","id":"s.1:x_y-z"})", R"({"type":"sync","id":"not valid"})",
             R"({"type":"android","id":"p-1","serial":")" + s0 + "\"}"},
            6);
    std::sort(got.begin(), got.end());
    std::vector<std::string> expected = {
        MqttApi{"android", battery.toStdString(), "battery", s0, std::nullopt, "b-1"}.encode(),
        MqttApi{"apple", health.toStdString() + "<DO>\n", "battery-health", std::nullopt, u0, "b-2"}
            .encode(),
        R"({"id":"s.1:x_y-z","type":"sync"})",
        R"x({"data":"error: invalid id (1 to 64 letters, digits, '.', '_', ':' or '-')","type":"sync"})x"};
    // The properties and the IMEI, whole, each with the command's id.
    const std::string tail = R"(<DONE>\n","id":"p-1","serial":")" + s0 + R"(","type":"android"})";
    for (const std::string& r : got) {
        if ((r.starts_with(R"({"action":"data","data":"[)") ||
             r.starts_with(R"({"action":"imei","data":"Result: Parcel()")) &&
            r.ends_with(tail))
            expected.push_back(r);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);

    handler.setStatusSource([] { return std::string(R"({"type":"status","state":"online"})"); });
    got = ask({R"({"type":"status","id":"st"})", R"({"type":"devices","id":"d-1"})"}, 2);
    EXPECT_EQ(got[0], R"({"id":"st","type":"status","state":"online"})");
    EXPECT_TRUE(got[1].starts_with(R"({"type":"devices","id":"d-1","data":[{"platform")"))
        << got[1];
}

// Last: the phones are gone or slow afterwards.
TEST_F(PhoneDesk, APhoneVanishingOrTooSlowNamesWhatCutItsAnswer) {
    ASSERT_EQ(s_phones->control("set android 0 vanishing on"), "ok");
    ASSERT_EQ(s_phones->control("set android 1 slow 2"), "ok");
    Limits limits;
    limits.toolTimeLimit = std::chrono::milliseconds(500);
    QueryRunner hurried{limits, &tools,
                        [this](std::string, std::string r) { results.push_back(r); }};
    hurried.setAccount("acct");
    CommandHandler via{hurried, monitor,
                       [this](std::string, std::string r) { results.push_back(r); }};
    std::map<QString, QJsonObject> byPhone;
    for (const std::string& r :
         ask({R"({"type":"identity","serial":")" + serial(0).toStdString() + "\"}",
              R"({"type":"identity","serial":")" + serial(1).toStdString() + "\"}"},
             2, &via)) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r)).object();
        byPhone[o["serial"].toString()] = o["unread"].toObject();
    }
    // getprop sorts its keys: the ro.* ones are in the half never sent.
    const QJsonObject cut = byPhone[serial(0)], slow = byPhone[serial(1)];
    for (const char* member : {"model", "manufacturer", "os_version", "serial_number"}) {
        EXPECT_EQ(cut[member], "adb ended before the end marker") << member;
        EXPECT_EQ(slow[member], "adb did not finish within 500 ms") << member;
    }
    EXPECT_TRUE(cut.contains("imei"));
    // A phone that hangs is not asked again.
    EXPECT_EQ(slow["imei"], slow["battery"]);
    EXPECT_EQ(slow["imei"], "adb did not finish within 500 ms");
}
