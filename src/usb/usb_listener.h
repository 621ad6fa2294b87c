// USBListener: turns the watcher's reports into console lines and one callback.
// Each accepted attach writes "device added: <name>" and calls the callback;
// a detach writes "device removed: <name>" and calls the removal callback; any
// event within one second after an accepted attach is ignored (a hub brings its
// devices in a burst).
#pragma once

#include <functional>
#include <memory>

#include "usb/usb_watcher.h"

namespace tgw::usb {

class USBListener : public USBWatcherDelegate {
  public:
    // Milliseconds since 1970-01-01 UTC.
    using Clock = std::function<double()>;
    static double systemClock();

    // Creates its watcher at once, so present devices are reported (with the
    // do-nothing callback) before the constructor returns.
    explicit USBListener(std::unique_ptr<USBDeviceSource> source = nullptr,
                         Clock clock = systemClock);
    ~USBListener() override;

    void setCallback(std::function<void()> finalCallback) {
        m_callbackFunc = std::move(finalCallback);
    }
    // Called after each accepted detach (none by default).
    void setRemovalCallback(std::function<void()> callback) {
        m_removalCallback = std::move(callback);
    }

    void deviceAdded(const USBDevice& device) override;
    void deviceRemoved(const USBDevice& device) override;

    double lastActionTime() const { return m_lastActionTime; }

  private:
    bool withinDebounce() const;

    Clock m_clock;
    std::function<void()> m_callbackFunc = [] {};
    std::function<void()> m_removalCallback;
    double m_lastActionTime = 0;
    std::unique_ptr<USBWatcher> m_usbWatcher;
};

}  // namespace tgw::usb
