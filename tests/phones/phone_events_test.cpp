// Presence that follows the tools' own events, against simulated phones
// through the real adb server and usbmuxd protocol: no command and no USB
// event, only devicesChanged, waited for with deadlines. The times from a
// change to its devicesChanged are printed, never asserted.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <iostream>

#include "app/devices/device_monitor.h"
#include "app/queries/command_handler.h"
#include "app/queries/query_runner.h"
#include "process/bundle.h"
#include "support/phones/simulated_phones.h"
#include "support/wait.h"
#include "ui/phone_lines.h"

using namespace tgw::app;
using tgw::test::SimulatedPhones;

namespace {

// Android 0 (allowed), 1 (USB debugging not yet allowed), iPhone 0 (not yet
// trusted); one monitor following their events.
class PhoneEvents : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_phones = new SimulatedPhones({2, 1, {"android:1:unauthorized", "iphone:0:unauthorized"}});
    }
    static void TearDownTestSuite() { delete s_phones; }
    void SetUp() override {
        ASSERT_TRUE(s_phones->ok()) << s_phones->error();
        monitor.followToolEvents();
    }

    // The state presence gives `id` ("" when absent).
    QString state(const QString& id) const {
        for (const DeviceInfo& d : monitor.presence().devices)
            if (d.id == id) return d.state;
        return {};
    }
    // Waits until `id` is in `wanted` and prints how long that took after `since`.
    bool becomes(const QString& id, const QString& wanted, const char* what,
                 const QElapsedTimer& since) {
        const bool ok = tgw::test::waitUntil([&] { return state(id) == wanted; }, 5000);
        std::cout << what << ": " << since.elapsed() << " ms to devicesChanged\n";
        return ok;
    }
    static QString serial(int i) { return s_phones->androidSerials()[i]; }

    static inline SimulatedPhones* s_phones = nullptr;
    const tgw::process::Bundle tools{TGW_SOURCE_RESOURCES};
    DeviceMonitor monitor{&tools};
};

TEST_F(PhoneEvents, ConnectAllowAndUnplugShowWithNoCommand) {
    ASSERT_TRUE(tgw::test::waitUntil([&] { return state(serial(1)) == "unauthorized"; }, 5000));
    QSignalSpy changed(&monitor, &DeviceMonitor::devicesChanged);
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(s_phones->control("allow android 1"), "ok");
    EXPECT_TRUE(becomes(serial(1), "device", "Allow", clock));
    EXPECT_GE(changed.size(), 1);

    SimulatedPhones::runTool("adb", {"disconnect", serial(0)});
    EXPECT_TRUE(tgw::test::waitUntil([&] { return state(serial(0)).isEmpty(); }, 5000));
    clock.restart();
    SimulatedPhones::runTool("adb", {"connect", serial(0)});
    EXPECT_TRUE(becomes(serial(0), "device", "adb connect", clock));
    ASSERT_EQ(s_phones->control("unplug android 0"), "ok");
    EXPECT_TRUE(tgw::test::waitUntil([&] { return state(serial(0)) != "device"; }, 5000));
    ASSERT_EQ(s_phones->control("plug android 0"), "ok");
}

TEST_F(PhoneEvents, AnUntrustedIPhoneIsAskedToPairUntilTrustedAndItsPlugsShow) {
    const QString udid = s_phones->iphoneUdids()[0];
    ASSERT_TRUE(tgw::test::waitUntil(
        [&] { return monitor.presence().pairing == QStringList{udid}; }, 10000));
    EXPECT_EQ(state(udid), "unpaired");
    EXPECT_TRUE(tgw::ui::presenceLines(monitor.presence())
                    .contains("Telefoon: " + udid + " (iPhone) - Tik op Vertrouwen op de iPhone"));
    ASSERT_EQ(s_phones->control("trust iphone 0"), "ok");
    ASSERT_TRUE(tgw::test::waitUntil([&] { return state(udid) == "paired"; }, 10000));
    EXPECT_TRUE(monitor.presence().pairing.isEmpty());

    ASSERT_EQ(s_phones->control("unplug iphone 0"), "ok");
    EXPECT_TRUE(tgw::test::waitUntil([&] { return state(udid).isEmpty(); }, 5000));
    ASSERT_EQ(s_phones->control("plug iphone 0"), "ok");
    EXPECT_TRUE(tgw::test::waitUntil([&] { return state(udid) == "paired"; }, 5000));
}

// Last: it restarts the adb server under everything.
TEST_F(PhoneEvents, AServerRestartCutsNoAnswerAndPresenceRecovers) {
    ASSERT_TRUE(tgw::test::waitUntil([&] { return state(serial(0)) == "device"; }, 10000));
    std::vector<std::string> results;
    QueryRunner runner{Limits{}, &tools, [&](std::string, std::string r) { results.push_back(r); }};
    runner.setAccount("acct");
    CommandHandler handler{runner, monitor,
                           [&](std::string, std::string r) { results.push_back(r); }};
    ASSERT_EQ(s_phones->control("set android 0 slow 1"), "ok");
    handler.handle("acct", R"({"type":"android","serial":")" + serial(0).toStdString() + "\"}");
    ASSERT_TRUE(tgw::test::waitUntil([&] { return s_phones->control("busy android 0") == "ok"; }));

    ASSERT_TRUE(s_phones->restartAdbServer()) << s_phones->error();
    ASSERT_EQ(s_phones->control("set android 0 slow off"), "ok");
    ASSERT_TRUE(tgw::test::waitUntil([&] { return results.size() == 2; }, 30000));
    // Whole, or an error; never a cut answer passing as whole.
    int errors = 0;
    for (const std::string& r : results) {
        errors += r.find(R"("data":"error: )") != std::string::npos;
        EXPECT_TRUE(r.find(R"("data":"error: )") != std::string::npos ||
                    r.find(R"(<DONE>\n")") != std::string::npos)
            << r;
    }
    EXPECT_GE(errors, 1);
    // The new server's stream is followed: a change there shows.
    SimulatedPhones::runTool("adb", {"disconnect", serial(1)});
    EXPECT_TRUE(tgw::test::waitUntil([&] { return state(serial(1)).isEmpty(); }, 10000));
    EXPECT_EQ(state(serial(0)), "device");
}

}  // namespace
