// DeviceMonitor: which phones are attached. Lists Android phones with
// `adb devices -l` and iPhones with `idevice_id -l` plus `ideviceinfo -k
// DeviceName`, through the process runner (never blocking the event loop),
// one listing at a time; requests that arrive meanwhile are coalesced into one
// more listing. Owned by the controller; lives on the main thread.
//
// adb runs through the bundle's launcher, which finds the system's adb and
// starts its server once. The iPhone tools are taken from PATH directly: the
// listing needs their exit status and whole output, not an end marker, and a
// tool that hangs is stopped by stopping the tool itself.
//
// A tool that cannot be asked (not installed, failing, not answering within
// the tool time limit) is named in the presence lines; the devices it would
// have found are missing from the listing. While a phone waits for the person
// holding it (to allow USB debugging, to trust this computer) or is offline,
// the listing is repeated every few seconds, since no USB event follows those
// changes.
#pragma once

#include <QByteArray>
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

namespace tgw::process {
class Process;
}

namespace tgw::app {

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
    const std::vector<DeviceInfo>& devices() const { return m_devices; }
    // The tools the last listing could not ask, in the window's words.
    const QStringList& toolProblems() const { return m_toolProblems; }
    bool isListing() const { return m_listing != nullptr; }

    // How long one tool of a listing may run before it is stopped (20 s).
    void setToolTimeLimit(std::chrono::milliseconds limit) { m_toolTimeLimit = limit; }
    // How often a listing repeats while a phone waits for its user (3 s).
    void setRecheckInterval(std::chrono::milliseconds interval) { m_recheck.setInterval(interval); }

    // The window's presence lines for `devices` ("Geen telefoon aangesloten"
    // when none): one per phone, at most four, then "+N"; then `toolProblems`.
    static QStringList presenceLines(const std::vector<DeviceInfo>& devices,
                                     const QStringList& toolProblems = {});

  signals:
    // After every listing, with the presence lines of what it found.
    void devicesChanged(const QStringList& presenceLines);

  private:
    struct Listing;
    struct ToolRun;
    using ToolDone = std::function<void(const ToolRun&)>;

    void scheduleListing();
    void startListing();
    void listAndroid();
    void listApple();
    void nameIPhones(QStringList udids, qsizetype next);
    void branchDone();
    void finishListing();
    void runTool(std::shared_ptr<process::Process> tool, QStringList arguments, ToolDone done);

    const process::Bundle* m_bundle;
    std::vector<DeviceInfo> m_devices;
    QStringList m_toolProblems;
    QStringList m_lastLines;
    std::unique_ptr<Listing> m_listing;
    std::vector<Done> m_waiting;  // for the next listing
    bool m_listingQueued = false;
    bool m_again = false;
    std::chrono::milliseconds m_toolTimeLimit{20'000};
    QTimer m_recheck;
    std::vector<std::weak_ptr<process::Process>> m_running;
};

// True when `value` may name a device to the tools: [A-Za-z0-9._:-]{1,64}.
bool isValidDeviceId(const QString& value);


}  // namespace tgw::app
