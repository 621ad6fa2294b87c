#include "usb/usb_watcher.h"

#include "usb/udev_device_source.h"

namespace tgw::usb {

USBWatcher::USBWatcher(USBWatcherDelegate* delegate, std::unique_ptr<USBDeviceSource> source)
    : m_delegate(delegate),
      m_source(source ? std::move(source) : std::make_unique<UdevDeviceSource>()) {
    const std::vector<USBDevice> present =
        m_source->start([this](USBDeviceSource::Change c, const USBDevice& d) { handle(c, d); });
    for (const USBDevice& device : present) handle(USBDeviceSource::Change::added, device);
}

USBWatcher::~USBWatcher() {
    m_delegate = nullptr;
    m_source.reset();
}

void USBWatcher::handle(USBDeviceSource::Change change, const USBDevice& device) {
    if (!m_delegate) return;
    if (change == USBDeviceSource::Change::added) {
        m_delegate->deviceAdded(device);
    } else {
        m_delegate->deviceRemoved(device);
    }
}

}  // namespace tgw::usb
