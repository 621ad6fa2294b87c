// PhoneRead: reads one phone's identity (PhoneIdentity) through its tools, one
// tool run after the other, each with the query limits and its end marker:
//  - Android, through the bundle's adb launcher: `adb -s SERIAL shell getprop`,
//    then the IMEI calls ImeiQuery asks for, then `dumpsys battery`;
//  - iPhone, through run.sh: `ideviceinfo -u UDID -x`, then
//    `idevicediagnostics -u UDID ioregentry AppleSmartBattery`.
// A phone that is not ready is not asked: its identity names its state and
// why nothing was read. A tool run that fails names its error for the members
// it would have read; one that cannot start or does not finish ends the read.
//
// Owned by the query runner; lives on the main thread. The owner may destroy
// it at any time (its running tool is then stopped), also inside `done`;
// when `done` is called no tool of it runs any more.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "app/config/settings.h"
#include "app/identity/phone_identity.h"
#include "app/protocol/device_list.h"
#include "app/tools/tool_run.h"

namespace tgw::process {
class Bundle;
}

namespace tgw::app {

class ImeiQuery;

class PhoneRead {
  public:
    using Done = std::function<void(PhoneIdentity identity)>;

    // `bundle` must outlive this.
    PhoneRead(const DeviceInfo& phone, const Limits& limits, const process::Bundle* bundle,
              Done done);
    ~PhoneRead();
    PhoneRead(const PhoneRead&) = delete;
    PhoneRead& operator=(const PhoneRead&) = delete;

    // Starts the first tool; a phone that is not ready is answered inside.
    void start();

  private:
    enum class Step { properties, imei, androidBattery, appleInfo, appleBattery, finished };

    void run(const QString& resource, QStringList arguments, const char* tool, MarkerSet marker);
    void toolDone();
    void next(ToolRun::Result result);
    void finish();
    // The words of an adb shell command for this phone, with the end marker.
    QStringList adbShell(QStringList words) const;
    // run.sh's one argument for `tool` with this phone's udid and `rest`.
    QString appleLine(const char* tool, const QString& rest) const;

    DeviceInfo m_phone;
    Limits m_limits;
    const process::Bundle* m_bundle;
    Done m_done;
    PhoneIdentity m_identity;
    Step m_step = Step::properties;
    std::unique_ptr<ImeiQuery> m_imei;
    std::unique_ptr<ToolRun> m_run;
    std::optional<ToolRun::Result> m_result;  // of m_run, until its tool has ended
};

// Why a phone in `state` cannot be read, or none when it is ready.
std::optional<QString> notReadyReason(const DeviceInfo& phone);

}  // namespace tgw::app
