#include "app/device_watch.h"

#include "app/device_monitor.h"

namespace tgw::app {

DeviceWatch::DeviceWatch(DeviceMonitor& monitor, std::unique_ptr<usb::USBDeviceSource> source,
                         usb::USBListener::Clock clock)
    : m_monitor(monitor) {
    m_followUp.setSingleShot(true);
    QObject::connect(&m_followUp, &QTimer::timeout, &m_followUp, [this] { followUp(); });
    m_listener = std::make_unique<usb::USBListener>(std::move(source), std::move(clock));
    m_listener->setCallback([this] { usbChanged(); });
    m_listener->setRemovalCallback([this] { usbChanged(); });
    m_monitor.refresh();
}

DeviceWatch::~DeviceWatch() {
    m_listener.reset();  // no callback into a half-destroyed watch
}

void DeviceWatch::usbChanged() {
    m_monitor.refresh();
    m_followUpsLeft = 2;
    m_followUp.start(1000);
}

void DeviceWatch::followUp() {
    m_monitor.refresh();
    if (--m_followUpsLeft > 0) m_followUp.start(2000);
}

}  // namespace tgw::app
