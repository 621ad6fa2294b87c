// UdevDeviceSource: USB devices from libudev. The present ones come from an
// enumeration (subsystem "usb", device type "usb_device"); changes from a
// udev monitor whose socket is watched on the main thread's event loop. The
// monitor listens to the udev daemon's events when one runs (/run/udev/control)
// and to the kernel's otherwise. When no monitor can be made, a console line
// says so and only the present devices are reported.
#pragma once

#include <QSocketNotifier>
#include <map>
#include <memory>

#include "usb/usb_device_source.h"

struct udev;
struct udev_monitor;
struct udev_device;

namespace tgw::usb {

class UdevDeviceSource : public USBDeviceSource {
  public:
    UdevDeviceSource();
    ~UdevDeviceSource() override;

    std::vector<USBDevice> start(Handler handler) override;

  private:
    void drainMonitor();
    USBDevice deviceFrom(udev_device* device);

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    std::unique_ptr<QSocketNotifier> m_notifier;
    Handler m_handler;
    // Names of attached devices, for their removal (sysfs is gone by then).
    std::map<std::string, std::optional<std::string>> m_names;
};

}  // namespace tgw::usb
