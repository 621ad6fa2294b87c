// The watcher and the listener with injected devices and clock, and one real
// watcher on this machine.
#include <gtest/gtest.h>
#include <libudev.h>

#include "support/usb_scripted_source.h"
#include "usb/usb_listener.h"
#include "usb/usb_watcher.h"

using namespace tgw::usb;

namespace {

using ScriptedSource = tgw::test::ScriptedUsbSource;

class Recorder : public USBWatcherDelegate {
  public:
    void deviceAdded(const USBDevice& d) override {
        events.push_back("+" + d.name().value_or("?"));
    }
    void deviceRemoved(const USBDevice& d) override {
        events.push_back("-" + d.name().value_or("?"));
    }
    std::vector<std::string> events;
};

const USBDevice kPhone{"/sys/1", "Pixel 7"};
const USBDevice kHub{"/sys/2", "Hub"};
const USBDevice kNameless{"/sys/3", std::nullopt};

std::string captured(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(USBWatcher, ReportsPresentDevicesThenEveryChangeInOrder) {
    Recorder recorder;
    USBDeviceSource::Handler emit;
    USBWatcher watcher(&recorder,
                       std::make_unique<ScriptedSource>(std::vector{kPhone, kHub}, &emit));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"+Pixel 7", "+Hub"}));

    for (const USBDevice& d : {kHub, kPhone, kNameless}) emit(USBDeviceSource::Change::added, d);
    emit(USBDeviceSource::Change::removed, kPhone);
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"+Pixel 7", "+Hub", "+Hub", "+Pixel 7", "+?", "-Pixel 7"}));
    watcher.setDelegate(nullptr);  // released: events are taken and dropped
    emit(USBDeviceSource::Change::added, kPhone);
    EXPECT_EQ(recorder.events.size(), 6u);
}

TEST(USBListener, DebouncesAfterAnAcceptedAttach) {
    double now = 1'000'000;
    USBDeviceSource::Handler emit;
    std::unique_ptr<USBListener> listener;
    const std::string atStart = captured([&] {
        listener = std::make_unique<USBListener>(
            std::make_unique<ScriptedSource>(std::vector{kPhone, kHub}, &emit),
            [&] { return now; });
    });
    EXPECT_EQ(atStart, "device added: Pixel 7\n");  // the hub fell inside the second
    int calls = 0, removals = 0;
    listener->setCallback([&] { ++calls; });
    listener->setRemovalCallback([&] { ++removals; });
    auto add = [&](const USBDevice& d) { emit(USBDeviceSource::Change::added, d); };
    auto remove = [&](const USBDevice& d) { emit(USBDeviceSource::Change::removed, d); };

    EXPECT_EQ(captured([&] {
                  now += 999;
                  add(kHub);
              }),
              "");
    EXPECT_EQ(captured([&] {
                  now += 1;
                  add(kNameless);
              }),
              "device added: <unknown>\n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(captured([&] {
                  now += 500;
                  remove(kPhone);
              }),
              "");
    EXPECT_EQ(captured([&] {
                  now += 1500;
                  remove(kPhone);
              }),
              "device removed: Pixel 7\n");
    EXPECT_EQ(captured([&] {
                  now += 100;
                  add(kPhone);
              }),
              "device added: Pixel 7\n");  // detach moved nothing
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(removals, 1);  // the accepted detach only

    const double accepted = now;
    now = accepted - 60'000;  // clock set back a minute
    EXPECT_EQ(captured([&] {
                  add(kHub);
                  remove(kHub);
              }),
              "");
    now = accepted + 1000;
    EXPECT_EQ(captured([&] { add(kHub); }), "device added: Hub\n");
    EXPECT_EQ(calls, 3);
}

TEST(USBListener, HubBurstGivesOneAttachAndOneCallback) {
    double now = 5'000;
    USBDeviceSource::Handler emit;
    USBListener listener(std::make_unique<ScriptedSource>(std::vector<USBDevice>{}, &emit),
                         [&] { return now; });
    int calls = 0;
    listener.setCallback([&] { ++calls; });
    const std::string out = captured([&] {
        for (const USBDevice& d : {kHub, kPhone, kNameless})
            emit(USBDeviceSource::Change::added, d);
    });
    EXPECT_EQ(out, "device added: Hub\n");
    EXPECT_EQ(calls, 1);
}

TEST(USBWatcher, RealWatcherReportsWhatUdevEnumerates) {
    size_t expected = 0;
    udev* u = udev_new();
    ASSERT_NE(u, nullptr);
    udev_enumerate* e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, "usb");
    udev_enumerate_add_match_property(e, "DEVTYPE", "usb_device");
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e))++ expected;
    udev_enumerate_unref(e);
    udev_unref(u);

    Recorder recorder;
    testing::internal::CaptureStdout();
    { USBWatcher watcher(&recorder); }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(recorder.events.size(), expected);
    for (const std::string& ev : recorder.events) EXPECT_EQ(ev[0], '+');
}
