#include "app/devices/device_watch.h"

#include <iterator>

#include "app/devices/device_monitor.h"

namespace tgw::app {

DeviceWatch::DeviceWatch(DeviceMonitor& monitor, std::unique_ptr<usb::USBDeviceSource> source,
                         usb::USBListener::Clock clock)
    : m_monitor(monitor) {
    if (!source) m_monitor.followToolEvents();
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

namespace {
// Listings after an accepted USB event, in milliseconds after the one before.
constexpr int kFollowUps[] = {1000, 2000, 3000};
}  // namespace

void DeviceWatch::usbChanged() {
    m_monitor.refresh();
    m_followUpsDone = 0;
    m_followUp.start(kFollowUps[0]);
}

void DeviceWatch::followUp() {
    m_monitor.refresh();
    if (++m_followUpsDone < int(std::size(kFollowUps)))
        m_followUp.start(kFollowUps[m_followUpsDone]);
}

}  // namespace tgw::app
