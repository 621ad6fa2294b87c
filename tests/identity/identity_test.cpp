// The readers against the tools' real output formats, and the record they fill.
#include <gtest/gtest.h>

#include "app/identity/android_readers.h"
#include "app/identity/apple_readers.h"
#include "app/identity/imei_reader.h"

using namespace tgw::app;

namespace {

const QString kGetprop = QStringLiteral(
    "[dalvik.vm.heapsize]: [512m]\n"
    "[persist.radio.multisim.config]: [dsds]\n"
    "[ro.build.fingerprint]: [google/oriole/oriole:14/UQ1A/1:user/release-keys]\n"
    "[ro.build.version.release]: [14]\r\n"
    "[ro.build.version.sdk]: [34]\n"
    "[ro.product.manufacturer]: [Google]\n"
    "[ro.product.model]: [Pixel 6]\n"
    "[ro.serialno]: [1A2B3C4D5E]\n"
    "[sys.banner]: [two\nlines]\n"
    "<DONE>\n");

const QString kImeiSlot1 = QStringLiteral(
    "Result: Parcel(\n  0x00000000: 00000000 0000000f 00390034 00310030 '........4.9.0.1.'\n"
    "  0x00000010: 00340035 00300032 00320033 00370033 '5.4.2.0.3.2.3.7.'\n"
    "  0x00000020: 00310035 00000038                   '5.1.8...        ')\n<DONE>\n");
const QString kImeiSlot2 = QStringLiteral(
    "Result: Parcel(\n  0x00000000: 00000000 0000000f 00350033 00390036 '........3.5.6.9.'\n"
    "  0x00000010: 00380033 00330030 00360035 00330034 '3.8.0.3.5.6.4.3.'\n"
    "  0x00000020: 00300038 00000039                   '8.0.9...        ')\n");
const QString kRefusal = QStringLiteral(
    "Result: Parcel(\n  0x00000000: ffffffff 00000057 00650067 00440074 '....W...g.e.t.D.'\n"
    "  0x00000010: 00760065 00630069 00490065 003a0064 'e.v.i.c.e.I.d.:.'\n"
    "  0x00000020: 00540020 00650068 00750020 00650073 ' .T.h.e. .u.s.e.'\n"
    "  0x00000030: 00200072 00300032 00300030 00640020 'r. .2.0.0.0. .d.'\n"
    "  0x00000040: 0065006f 00200073 006f006e 00200074 'o.e.s. .n.o.t. .'\n"
    "  0x00000050: 0065006d 00740065 00740020 00650068 'm.e.e.t. .t.h.e.'\n"
    "  0x00000060: 00720020 00710065 00690075 00650072 ' .r.e.q.u.i.r.e.'\n"
    "  0x00000070: 0065006d 0074006e 00200073 006f0074 'm.e.n.t.s. .t.o.'\n"
    "  0x00000080: 00610020 00630063 00730065 00200073 ' .a.c.c.e.s.s. .'\n"
    "  0x00000090: 00650064 00690076 00650063 00690020 'd.e.v.i.c.e. .i.'\n"
    "  0x000000a0: 00650064 0074006e 00660069 00650069 'd.e.n.t.i.f.i.e.'\n"
    "  0x000000b0: 00730072 0000002e 00000000          'r.s.........    ')\n");
const QString kRefusalText = QStringLiteral(
    "slot 1: SecurityException: getDeviceId: The user 2000 does not meet the requirements to "
    "access device identifiers.");

QString plist(const QString& dict) {
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
               "\"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\">\n<dict>\n%1</dict>\n</plist>\n<DO>\n")
        .arg(dict);
}

PhoneIdentity phone(PhoneIdentity::Platform platform, const char* id, const char* state) {
    PhoneIdentity identity;
    identity.platform = platform;
    identity.id = id;
    identity.state = state;
    return identity;
}

PhoneIdentity android() {
    return phone(PhoneIdentity::Platform::android, "R58M", "device");
}

}  // namespace

TEST(Imei, LuhnAndLengthDecide) {
    EXPECT_TRUE(isImei("490154203237518"));
    EXPECT_TRUE(isImei("356938035643809"));
    for (const char* bad :
         {"490154203237519", "49015420323751", "4901542032375180", "49015420323751a", ""})
        EXPECT_FALSE(isImei(bad)) << bad;
}

TEST(Imei, ParcelsDecodeToTheStringOrTheReason) {
    EXPECT_EQ(readParcelString(kImeiSlot1).text, QStringLiteral("490154203237518"));
    const ParcelAnswer refused = readParcelString(kRefusal);
    EXPECT_TRUE(refused.refusal);
    EXPECT_EQ("slot 1: " + refused.failure, kRefusalText);
    struct Row {
        const char* output;
        const char* failure;
    };
    for (const Row& r : std::initializer_list<Row>{
             {"Result: Parcel(00000000 ffffffff   '........')",
              "the phone answered no value (null)"},
             {"Result: Parcel(Error: 0xffffffb6 \"Not a data message\")",
              "the call failed: 0xffffffb6 \"Not a data message\""},
             {"Result: Parcel(NULL)", "the service has no such call on this phone"},
             {"Result: Parcel(00000000 0000000f '........')", "the answer ends early"},
             {"service: Service iphonesubinfo does not exist\n",
              "no answer from the service: service: Service iphonesubinfo does not exist"}}) {
        const ParcelAnswer a = readParcelString(r.output);
        EXPECT_FALSE(a.text) << r.output;
        EXPECT_EQ(a.failure, r.failure);
    }
}

TEST(Imei, QueryTriesEachSlotsCallsInTurnAndKeepsThePhonesRefusal) {
    ImeiQuery dual(34, 2);
    EXPECT_EQ(dual.nextCommand()->join(' '),
              "service call iphonesubinfo 4 i32 0 s16 com.android.shell");
    dual.took(kImeiSlot1);
    EXPECT_EQ(dual.nextCommand()->join(' '),
              "service call iphonesubinfo 4 i32 1 s16 com.android.shell");
    dual.took(kImeiSlot2);
    EXPECT_FALSE(dual.nextCommand());
    PhoneIdentity identity = android();
    dual.fill(identity);
    EXPECT_EQ(identity.imei, QStringList({"490154203237518", "356938035643809"}));

    ImeiQuery refused(29, std::nullopt);  // two slots tried, code 3 on Android 10
    QStringList asked;
    while (auto command = refused.nextCommand()) {
        asked << command->join(' ');
        refused.took(asked.size() == 1 ? kRefusal : QStringLiteral("Result: Parcel(NULL)"));
    }
    EXPECT_EQ(asked, QStringList({"service call iphonesubinfo 3 i32 0 s16 com.android.shell",
                                  "service call iphonesubinfo 1 s16 com.android.shell",
                                  "service call iphonesubinfo 1",
                                  "service call iphonesubinfo 3 i32 1 s16 com.android.shell"}));
    refused.fill(identity);
    EXPECT_TRUE(identity.imei.isEmpty());
    EXPECT_EQ(identity.unread.value("imei"), kRefusalText);
}

TEST(AndroidReaders, GetpropGivesTheIdentityAndTheImeiPlan) {
    const auto props = parseGetprop(kGetprop);
    EXPECT_EQ(props.value("sys.banner"), "two\nlines");
    EXPECT_EQ(sdkLevel(props), 34);
    EXPECT_EQ(simSlots(props), 2);
    PhoneIdentity identity = android();
    readAndroidProperties(kGetprop, identity);
    EXPECT_EQ(writeIdentity(identity),
              R"({"type":"identity","platform":"android","serial":"R58M","state":"device",)"
              R"("model":"Pixel 6","manufacturer":"Google","os_version":"14",)"
              R"("serial_number":"1A2B3C4D5E"})");

    PhoneIdentity unauthorized = android();
    readAndroidProperties("error: device unauthorized.\r\n", unauthorized);
    EXPECT_EQ(unauthorized.unread.value("model"),
              "getprop gave no properties: error: device unauthorized.");
}

TEST(AndroidReaders, BatteryOfAnOldAndANewRelease) {
    const QString old = QStringLiteral(
        "Current Battery Service state:\n  AC powered: false\n  USB powered: true\n"
        "  Charge counter: 2853000\n  status: 2\n  health: 2\n  level: 87\n  scale: 100\n");
    PhoneIdentity a = android();
    readAndroidBattery(old, a);
    EXPECT_EQ(a.battery.levelPercent, 87);
    EXPECT_EQ(a.battery.charging, true);
    EXPECT_FALSE(a.battery.healthPercent);
    EXPECT_TRUE(a.unread.contains("cycle_count"));

    QString newer = old + QStringLiteral(
                              "  Charging state: 1\n  cycle count: 412\n"
                              "  Full charge: 3880000\n  Full design: 4400000\n");
    newer.replace("status: 2", "status: 3").replace("scale: 100", "scale: 200");
    PhoneIdentity b = android();
    b.requestId = "req-7";
    readAndroidBattery(newer, b);
    EXPECT_EQ(writeIdentity(b),
              R"({"type":"identity","id":"req-7","platform":"android","serial":"R58M",)"
              R"("state":"device","battery":{"level_percent":44,"health_percent":88,)"
              R"("cycle_count":412,"design_capacity_mah":4400,"full_charge_capacity_mah":3880,)"
              R"("charging":false}})");
}

TEST(AppleReaders, InfoAndAWornBattery) {
    PhoneIdentity identity = phone(PhoneIdentity::Platform::apple, "00008110-001A", "paired");
    readAppleInfo(
        plist("<key>ProductType</key><string>iPhone14,5</string>\n"
              "<key>ProductVersion</key><string>17.2</string>\n"
              "<key>SerialNumber</key><string>F2LXK0Q1</string>\n"
              "<key>InternationalMobileEquipmentIdentity</key><string>490154203237518</string>\n"
              "<key>InternationalMobileEquipmentIdentity2</key><string>356938035643809</string>\n"
              "<key>Skipped</key><array><integer>1</integer><true/></array>\n"),
        identity);
    readAppleBattery(
        plist("<key>IORegistry</key><dict>\n<key>CycleCount</key><integer>812</integer>\n"
              "<key>DesignCapacity</key><integer>3200</integer>\n"
              "<key>NominalChargeCapacity</key><integer>2500</integer>\n"
              "<key>CurrentCapacity</key><integer>64</integer>\n"
              "<key>MaxCapacity</key><integer>100</integer>\n"
              "<key>IsCharging</key><false/>\n</dict>\n"),
        identity);
    EXPECT_EQ(writeIdentity(identity),
              R"({"type":"identity","platform":"apple","udid":"00008110-001A","state":"paired",)"
              R"("model":"iPhone14,5","manufacturer":"Apple","os_version":"17.2",)"
              R"("serial_number":"F2LXK0Q1","imei":["490154203237518","356938035643809"],)"
              R"("battery":{"level_percent":64,"health_percent":78,"cycle_count":812,)"
              R"("design_capacity_mah":3200,"full_charge_capacity_mah":2500,"charging":false}})");

    PhoneIdentity absent = phone(PhoneIdentity::Platform::apple, "x", "unpaired");
    readAppleBattery("ERROR: Could not connect to lockdownd, error code -19\n", absent);
    EXPECT_EQ(absent.unread.value("battery"),
              "idevicediagnostics: no property list: ERROR: Could not connect to lockdownd, "
              "error code -19");
}
