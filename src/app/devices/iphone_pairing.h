// IPhonePairing: asks each untrusted iPhone to pair with this computer, which
// puts the "Trust this computer?" question on its screen. One `idevicepair
// pair -u UDID` at a time per phone (through ToolRun, never blocking), again
// 3 s after each refusal, until it pairs or is no longer listed as unpaired.
// Owned by the device monitor, which tells it the listed phones and is told
// when one paired; lives on the main thread.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "app/protocol/device_list.h"

namespace tgw::app {

class ToolRun;

class IPhonePairing {
  public:
    // `paired` is called on the event loop after a phone accepted, never
    // inside follow().
    explicit IPhonePairing(std::function<void(const QString& udid)> paired);
    ~IPhonePairing();
    IPhonePairing(const IPhonePairing&) = delete;
    IPhonePairing& operator=(const IPhonePairing&) = delete;

    // The phones as now listed: asking starts for each unpaired iPhone and
    // stops for every other one.
    void follow(const std::vector<DeviceInfo>& devices);
    // The udids being asked, in the order they were listed.
    QStringList asking() const;
    // False when idevicepair is not on PATH: no phone is then asked.
    static bool canPair();
    // Time between one refusal and the next question (3 s).
    void setInterval(std::chrono::milliseconds interval) { m_interval = interval; }

  private:
    struct Phone;
    void ask(const QString& udid);

    std::function<void(const QString&)> m_paired;
    std::map<QString, std::unique_ptr<Phone>> m_phones;
    QStringList m_order;
    std::chrono::milliseconds m_interval{3000};
};

}  // namespace tgw::app
