#include "usb/usb_listener.h"

#include <chrono>

#include "common/console.h"

namespace tgw::usb {

double USBListener::systemClock() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

USBListener::USBListener(std::unique_ptr<USBDeviceSource> source, Clock clock)
    : m_clock(std::move(clock)) {
    m_usbWatcher = std::make_unique<USBWatcher>(this, std::move(source));
}

USBListener::~USBListener() {
    m_usbWatcher.reset();
}

bool USBListener::withinDebounce() const {
    // A clock set back lands inside the window too, until it has passed the
    // last accepted attach by a second again.
    return m_lastActionTime > 0 && m_clock() - m_lastActionTime < 1000;
}

void USBListener::deviceAdded(const USBDevice& device) {
    if (withinDebounce()) return;
    m_lastActionTime = m_clock();
    writeConsoleLine("device added: " + device.name().value_or("<unknown>"));
    m_callbackFunc();
}

void USBListener::deviceRemoved(const USBDevice& device) {
    if (withinDebounce()) return;
    writeConsoleLine("device removed: " + device.name().value_or("<unknown>"));
    if (m_removalCallback) m_removalCallback();
}

}  // namespace tgw::usb
