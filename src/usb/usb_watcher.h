// USBWatcher: reports every USB device that is attached or detached to its
// delegate, one call per device and event, on the main thread. Devices already
// attached are reported as added during construction. Destroying the watcher
// stops all callbacks.
#pragma once

#include <memory>

#include "usb/usb_device_source.h"

namespace tgw::usb {

class USBWatcherDelegate {
  public:
    virtual ~USBWatcherDelegate() = default;
    // `device` is valid only during the call.
    virtual void deviceAdded(const USBDevice& device) = 0;
    virtual void deviceRemoved(const USBDevice& device) = 0;
};

class USBWatcher {
  public:
    // `delegate` is not owned and may be null; it must outlive the watcher or
    // be released with setDelegate(nullptr). `source` defaults to libudev.
    explicit USBWatcher(USBWatcherDelegate* delegate,
                        std::unique_ptr<USBDeviceSource> source = nullptr);
    ~USBWatcher();
    USBWatcher(const USBWatcher&) = delete;
    USBWatcher& operator=(const USBWatcher&) = delete;

    void setDelegate(USBWatcherDelegate* delegate) { m_delegate = delegate; }

  private:
    void handle(USBDeviceSource::Change change, const USBDevice& device);

    USBWatcherDelegate* m_delegate;
    std::unique_ptr<USBDeviceSource> m_source;
};

}  // namespace tgw::usb
