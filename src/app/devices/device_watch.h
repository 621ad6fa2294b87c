// DeviceWatch: keeps the device monitor's listing current. Lists the phones
// once at start and again after each USB attach or detach that the USB
// listener accepts (it writes the "device added/removed" console lines and
// debounces bursts). The tools see a new phone a moment after the USB event
// (adb's server and the iPhone multiplexer notice it themselves), and a burst
// may hide a detach, so each accepted event is followed by three more
// listings, one, three and six seconds later. Watching the system's USB
// devices (no source given), it also has the monitor follow the tools' own
// device events; a scripted source goes with stand-in tools, which have none.
#pragma once

#include <QTimer>
#include <memory>

#include "usb/usb_listener.h"

namespace tgw::app {

class DeviceMonitor;

class DeviceWatch {
  public:
    // `monitor` must outlive this. `source` defaults to the system's USB
    // devices; the devices present now are reported on the console during
    // construction.
    explicit DeviceWatch(DeviceMonitor& monitor,
                         std::unique_ptr<usb::USBDeviceSource> source = nullptr,
                         usb::USBListener::Clock clock = usb::USBListener::systemClock);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

  private:
    void usbChanged();
    void followUp();

    DeviceMonitor& m_monitor;
    QTimer m_followUp;
    int m_followUpsDone = 0;
    std::unique_ptr<usb::USBListener> m_listener;
};

}  // namespace tgw::app
