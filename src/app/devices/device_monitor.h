// DeviceMonitor: which phones are attached. Lists Android phones with
// `adb devices -l` and iPhones with `idevice_id -l` plus `ideviceinfo -k
// DeviceName`, as tool runs without an end marker (never blocking the event loop),
// one listing at a time; requests that arrive meanwhile are coalesced into one
// more listing. Owned by the controller; lives on the main thread.
//
// adb runs through the bundle's launcher, which finds the system's adb and
// starts its server once. The iPhone tools are taken from PATH directly: the
// listing needs their exit status and whole output, not an end marker, and a
// tool that hangs is stopped by stopping the tool itself.
//
// A tool that cannot be asked (not installed, failing, not answering within
// the tool time limit) is reported as a tool problem; the devices it would
// have found are missing from the listing. While a phone waits for the person
// holding it (to allow USB debugging, to trust this computer) or is offline,
// the listing is repeated every few seconds, since no USB event follows those
// changes. The monitor reports data only; the window words it.
//
// Following the tools' own events (followToolEvents) it takes the Android
// phones from the adb server's device stream instead, as each change happens,
// lists the iPhones again on each usbmuxd event, and asks each untrusted iPhone
// to pair. A listing still runs on every refresh; its Android part comes from
// adb itself only while the stream cannot be had, and once when the stream has
// been gone for 2 s (which also starts a server through the launcher).
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "app/protocol/device_list.h"
#include "process/bundle.h"

namespace tgw::app {

class AdbDeviceStream;
class IPhonePairing;
class UsbmuxdEvents;

// Why a listing could not ask one of its tools.
struct ToolProblem {
    enum class Kind {
        notInstalled,   // not on PATH, or the launcher found no such program
        cannotStart,    // there, but it could not be started
        notResponding,  // stopped at the tool time limit
        failed,         // ended with an error; `detail` is its last line
    };
    QString tool;
    Kind kind = Kind::failed;
    QString detail;

    bool operator==(const ToolProblem&) const = default;
};

// What keeps a listed phone from answering queries, if anything: the person
// holding it has to act, or it cannot be reached.
enum class PhoneProblem {
    none,          // ready (a paired iPhone, an Android phone in state "device")
    unauthorized,  // USB debugging not yet allowed on the phone
    noPermission,  // this computer's user may not open the USB device
    offline,       // adb sees it but cannot reach it
    untrusted,     // an iPhone that has not trusted this computer
    otherState,    // another adb state (recovery, sideload, ...): the state says which
};
PhoneProblem problemOf(const DeviceInfo& device);

// What a listing found: the phones, then the tools it could not ask, then
// the untrusted iPhones this computer is asking to pair (their udids).
struct DevicePresence {
    std::vector<DeviceInfo> devices;
    std::vector<ToolProblem> toolProblems;
    QStringList pairing = {};

    bool operator==(const DevicePresence&) const = default;
};

class DeviceMonitor : public QObject {
    Q_OBJECT
  public:
    using Done = std::function<void(const std::vector<DeviceInfo>&)>;

    // `bundle` holds the tools (the main bundle when none); it must outlive this.
    explicit DeviceMonitor(const process::Bundle* bundle = nullptr, QObject* parent = nullptr);
    // Stops the tools of a listing still running; no callback follows.
    ~DeviceMonitor() override;

    // Lists the devices again (coalesced while a listing runs); devicesChanged follows.
    void refresh();
    // Lists the devices now and calls `done` with them on the event loop. A
    // request made while a listing runs is answered by the listing after it.
    void listDevices(Done done);
    // The last listing.
    const std::vector<DeviceInfo>& devices() const { return m_presence.devices; }
    const DevicePresence& presence() const { return m_presence; }
    bool isListing() const { return m_listing != nullptr; }

    // How long one tool of a listing may run before it is stopped (20 s).
    void setToolTimeLimit(std::chrono::milliseconds limit) { m_toolTimeLimit = limit; }
    // How often a listing repeats while a phone waits for its user (3 s).
    void setRecheckInterval(std::chrono::milliseconds interval) { m_recheck.setInterval(interval); }

    // From now on follows the adb server's device stream and usbmuxd's device
    // events, and asks untrusted iPhones to pair. Once; the tools must be the
    // system's (no stand-ins), since it talks to their servers directly.
    void followToolEvents();
    bool followsToolEvents() const { return m_adb != nullptr; }

  signals:
    // After every listing, with what it found.
    void devicesChanged(const tgw::app::DevicePresence& presence);

  private:
    struct Listing;
    struct ToolAnswer;
    using ToolDone = std::function<void(const ToolAnswer&)>;

    void scheduleListing();
    void startListing();
    void listAndroid();
    void listApple();
    void nameIPhones(QStringList udids, qsizetype next);
    void branchDone();
    void finishListing();
    // Publishes the presence with the stream's Android phones in it.
    void adbListed();
    // Logs, rechecks, asks for pairing and signals the presence now held.
    void publish();
    bool androidFromStream() const;
    // Runs `tool` (a bundle resource, or a program found on PATH) for the
    // listing; `done` follows on the event loop, unless the listing is gone.
    void runTool(const QString& tool, bool fromBundle, QStringList arguments, ToolDone done);

    const process::Bundle* m_bundle;
    DevicePresence m_presence;
    QString m_logged;  // what the log said of the last listing
    std::unique_ptr<Listing> m_listing;
    std::vector<Done> m_waiting;  // for the next listing
    bool m_listingQueued = false;
    bool m_again = false;
    std::chrono::milliseconds m_toolTimeLimit{20'000};
    QTimer m_recheck;
    std::unique_ptr<AdbDeviceStream> m_adb;
    std::unique_ptr<UsbmuxdEvents> m_usbmuxd;
    std::unique_ptr<IPhonePairing> m_pairing;
    QTimer m_adbGone;  // the stream gone this long: list through adb once
};

// True when `value` may name a device to the tools: [A-Za-z0-9._:-]{1,64}.
bool isValidDeviceId(const QString& value);

}  // namespace tgw::app
