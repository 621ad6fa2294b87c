// The device monitor against stand-in tools printing the real tools' formats
// (tests/app/resources/device-tools), hot-plug through a scripted USB source,
// and the real adb and iPhone tools with no phone attached.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <map>

#include "app/devices/adb_device_stream.h"
#include "app/devices/device_monitor.h"
#include "app/devices/device_watch.h"
#include "app/devices/usbmuxd_events.h"
#include "mqtt/log_capture.h"
#include "support/env_guard.h"
#include "support/usb_scripted_source.h"
#include "support/wait.h"

using namespace tgw;
using namespace tgw::app;
using std::chrono::milliseconds;

namespace {

const DeviceInfo kPixel{DeviceInfo::Platform::android, "0123456789ABCDEF", "device", "Pixel 7"};

ToolProblem problem(const char* tool, ToolProblem::Kind kind) {
    return {QString::fromLatin1(tool), kind, {}};
}

// Stand-in tools first on PATH, the phones they report in a file of the test's.
class DeviceMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_path = qgetenv("PATH");
        qputenv("PATH", TGW_DEVICE_TOOLS ":" + m_path);
        qputenv("FAKE_PHONES", path("phones").toLocal8Bit());
        qputenv("DEVICE_TOOLS_ARGS", path("calls").toLocal8Bit());
        setPhones("");
    }
    void TearDown() override {
        qputenv("PATH", m_path);
        qunsetenv("FAKE_PHONES");
        qunsetenv("DEVICE_TOOLS_ARGS");
    }

    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    void setPhones(const char* lines) {
        QFile f(path("phones"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(lines);
    }
    // The tools' argument lists so far, one "<tool> <arguments>" each.
    QStringList calls() const {
        QFile f(path("calls"));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    std::vector<DeviceInfo> list(DeviceMonitor& monitor) {
        std::optional<std::vector<DeviceInfo>> result;
        monitor.listDevices([&](const std::vector<DeviceInfo>& d) { result = d; });
        EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }, 15000));
        return result.value_or(std::vector<DeviceInfo>{});
    }

    process::Bundle m_bundle{QStringLiteral(TGW_SOURCE_RESOURCES)};
    QTemporaryDir m_dir;
    QByteArray m_path;
};

TEST_F(DeviceMonitorTest, ListsEachKindOfPhoneWithItsProblemAndJson) {
    setPhones(
        "adb-daemon-start\n"
        "android 0123456789ABCDEF device Pixel_7\n"
        "android R58M12345 unauthorized\n"
        "android 9A2B3C4D noperm\n"
        "android ZX1G22 offline\n"
        "apple 00008030-001A35E11234802E paired iPhone van \"Eva\"\n"
        "apple 00008101-000A1B2C3D4E5F60 unpaired\n");
    DeviceMonitor monitor(&m_bundle);
    QSignalSpy changed(&monitor, &DeviceMonitor::devicesChanged);
    const std::vector<DeviceInfo> devices = list(monitor);

    EXPECT_EQ(
        devicesResultJson(devices),
        R"({"type":"devices","data":[)"
        R"({"platform":"android","serial":"0123456789ABCDEF","state":"device","model":"Pixel 7"},)"
        R"({"platform":"android","serial":"R58M12345","state":"unauthorized"},)"
        R"({"platform":"android","serial":"9A2B3C4D","state":"no permissions"},)"
        R"({"platform":"android","serial":"ZX1G22","state":"offline"},)"
        R"({"platform":"apple","udid":"00008030-001A35E11234802E","name":"iPhone van \"Eva\"","state":"paired"},)"
        R"({"platform":"apple","udid":"00008101-000A1B2C3D4E5F60","state":"unpaired"}]})");
    using P = PhoneProblem;
    const PhoneProblem each[] = {P::none,    P::unauthorized, P::noPermission,
                                 P::offline, P::none,         P::untrusted};
    ASSERT_EQ(devices.size(), 6u);
    for (size_t i = 0; i < devices.size(); ++i) EXPECT_EQ(problemOf(devices[i]), each[i]) << i;
    EXPECT_EQ(problemOf({DeviceInfo::Platform::android, "X", "recovery", {}}), P::otherState);
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0][0].value<DevicePresence>(), (DevicePresence{devices, {}}));

    const QStringList called = calls();
    for (const char* call : {"adb devices -l", "idevice_id -l",
                             "ideviceinfo -u 00008030-001A35E11234802E -k DeviceName",
                             "ideviceinfo -u 00008101-000A1B2C3D4E5F60 -k DeviceName"})
        EXPECT_TRUE(called.contains(QString::fromLatin1(call))) << call;
}

TEST_F(DeviceMonitorTest, RequestsDuringAListingShareOneMoreListing) {
    setPhones("android 0123456789ABCDEF device Pixel_7\n");
    DeviceMonitor monitor(&m_bundle);
    QSignalSpy changed(&monitor, &DeviceMonitor::devicesChanged);
    monitor.refresh();
    monitor.refresh();
    while (!monitor.isListing()) QCoreApplication::processEvents();
    int answered = 0;
    monitor.listDevices([&](const std::vector<DeviceInfo>& d) { answered += int(d.size()); });
    monitor.refresh();
    monitor.refresh();
    ASSERT_TRUE(test::waitUntil([&] { return changed.size() == 2; }, 15000));
    test::processEventsFor(300);
    EXPECT_EQ(changed.size(), 2);
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(calls().count("adb devices -l"), 2);
}

TEST_F(DeviceMonitorTest, ScriptedPlugAndUnplugChangePresenceWithinTwoSeconds) {
    usb::USBDeviceSource::Handler usb;
    double now = 1e12;
    DeviceMonitor monitor(&m_bundle);
    std::optional<std::vector<DeviceInfo>> seen;
    QObject::connect(&monitor, &DeviceMonitor::devicesChanged,
                     [&](const DevicePresence& p) { seen = p.devices; });
    DeviceWatch watch(
        monitor, std::make_unique<test::ScriptedUsbSource>(std::vector<usb::USBDevice>{}, &usb),
        [&] { return now; });
    ASSERT_TRUE(test::waitUntil([&] { return seen && seen->empty(); }));

    const usb::USBDevice phone{"/sys/bus/usb/devices/1-1", "Pixel 7"};
    QElapsedTimer clock;
    setPhones("android 0123456789ABCDEF device Pixel_7\n");
    clock.start();
    usb(usb::USBDeviceSource::Change::added, phone);
    ASSERT_TRUE(test::waitUntil([&] { return seen == std::vector{kPixel}; }, 2000));
    RecordProperty("plug_ms", int(clock.elapsed()));

    now += 5000;  // past the listener's one-second debounce
    setPhones("");
    clock.restart();
    usb(usb::USBDeviceSource::Change::removed, phone);
    ASSERT_TRUE(test::waitUntil([&] { return seen->empty(); }, 2000));
    RecordProperty("unplug_ms", int(clock.elapsed()));
}

TEST_F(DeviceMonitorTest, EventLoopRunsWhileToolsHangAndTheyAreStopped) {
    setPhones("hang adb\nhang idevice_id\n");
    DeviceMonitor monitor(&m_bundle);
    monitor.setToolTimeLimit(milliseconds(1500));
    QSignalSpy changed(&monitor, &DeviceMonitor::devicesChanged);
    int ticks = 0;
    QTimer timer;
    timer.start(20);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    monitor.refresh();
    ASSERT_TRUE(test::waitUntil([&] { return changed.size() == 1; }, 15000));
    RecordProperty("ticks", ticks);
    EXPECT_GE(ticks, 30);  // about 75 on an idle machine
    EXPECT_EQ(changed[0][0].value<DevicePresence>().toolProblems,
              (std::vector{problem("adb", ToolProblem::Kind::notResponding),
                           problem("idevice_id", ToolProblem::Kind::notResponding)}));
}

TEST_F(DeviceMonitorTest, MissingToolsAreNamedAsToolProblems) {
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("empty"));
    qputenv("PATH", path("empty").toLocal8Bit());
    DeviceMonitor monitor(&m_bundle);
    EXPECT_TRUE(list(monitor).empty());
    EXPECT_EQ(monitor.presence().toolProblems,
              (std::vector{problem("adb", ToolProblem::Kind::notInstalled),
                           problem("idevice_id", ToolProblem::Kind::notInstalled)}));
}

// An adb server played by the test: each connection's request is answered
// from `answers`; the stream's connection is kept.
TEST(AdbDeviceStream, FallsBackToThePlainStreamAndEndsOnBytesThatMakeNoSense) {
    test::LogCapture log;
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    test::EnvGuard env{{"ANDROID_ADB_SERVER_PORT", QByteArray::number(server.serverPort())}};
    std::map<QByteArray, QByteArray> answers = {
        {"000chost:version", "OKAY00040029"},
        {"0014host:track-devices-l", "FAIL000funknown service"},
        {"0012host:track-devices", "OKAY00170123456789ABCDEF\tdevice\n"}};
    QTcpSocket* stream = nullptr;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* c = server.nextPendingConnection();
        QObject::connect(c, &QTcpSocket::readyRead, [&, c] {
            const QByteArray request = c->readAll();
            c->write(answers.count(request) ? answers.at(request) : "FAIL0000");
            if (request.endsWith("track-devices")) stream = c;
        });
    });
    AdbDeviceStream adb;
    QSignalSpy lost(&adb, &AdbDeviceStream::lost);
    adb.start();
    ASSERT_TRUE(test::waitUntil([&] { return adb.isLive(); }, 5000));
    EXPECT_EQ(adb.devices(),
              (std::vector<DeviceInfo>{
                  {DeviceInfo::Platform::android, "0123456789ABCDEF", "device", {}}}));
    EXPECT_EQ(adb.serverVersion(), 41);
    answers["000chost:version"] = "OKAY00040028";  // another adb's server next
    stream->write("00zz");
    ASSERT_TRUE(test::waitUntil([&] { return lost.size() == 1; }, 5000));
    EXPECT_FALSE(adb.isLive());
    EXPECT_TRUE(adb.devices().empty());
    // Asked again after the back-off; the log names the new server's adb.
    EXPECT_TRUE(test::waitUntil([&] { return adb.isLive(); }, 5000));
    EXPECT_TRUE(log.has("warning", "adb server restarted by an adb of version 40"))
        << log.all().toStdString();
}

TEST(UsbmuxdEvents, MessagesAreReadWholeOrNotAtAll) {
    const QByteArray listen = UsbmuxdEvents::listenRequest(7);
    const auto read = UsbmuxdEvents::readMessage(listen);
    ASSERT_TRUE(read && !read->malformed);
    EXPECT_EQ(read->type, "Listen");
    EXPECT_EQ(read->size, listen.size());
    for (qsizetype n = 0; n < listen.size(); ++n)
        EXPECT_FALSE(UsbmuxdEvents::readMessage(listen.left(n))) << n;
    const auto withWord = [&](int i, quint32 value) {
        QByteArray bad = listen;
        qToLittleEndian(value, bad.data() + 4 * i);
        return UsbmuxdEvents::readMessage(bad);
    };
    for (const auto& bad : {withWord(0, 15), withWord(0, 2 << 20), withWord(2, 1)})
        EXPECT_TRUE(bad && bad->malformed);
    QByteArray notPlist = listen;
    notPlist.replace("<dict>", "<dixt>");
    EXPECT_TRUE(UsbmuxdEvents::readMessage(notPlist)->malformed);
}

TEST(DeviceMonitorRealTools, NoPhoneGivesAnEmptyList) {
    if (QStandardPaths::findExecutable("adb").isEmpty() ||
        QStandardPaths::findExecutable("idevice_id").isEmpty())
        GTEST_SKIP() << "adb or idevice_id not installed";
    process::Bundle bundle{QStringLiteral(TGW_SOURCE_RESOURCES)};
    DeviceMonitor monitor(&bundle);
    bool done = false;
    monitor.listDevices([&](const std::vector<DeviceInfo>&) { done = true; });
    const bool listed = test::waitUntil([&] { return done; }, 30000);
    QProcess::execute("adb", {"kill-server"});
    ASSERT_TRUE(listed);
    EXPECT_TRUE(monitor.devices().empty());
    EXPECT_EQ(monitor.presence().toolProblems, std::vector<ToolProblem>{});
}

}  // namespace
