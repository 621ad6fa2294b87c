#include "usb/udev_device_source.h"

#include <libudev.h>

#include <QFileInfo>
#include <cstring>

#include "common/console.h"

namespace tgw::usb {

namespace {

std::optional<std::string> text(const char* s) {
    if (!s || !*s) return std::nullopt;
    return std::string(s);
}

}  // namespace

UdevDeviceSource::UdevDeviceSource() : m_udev(udev_new()) {}

UdevDeviceSource::~UdevDeviceSource() {
    m_notifier.reset();
    if (m_monitor) udev_monitor_unref(m_monitor);
    if (m_udev) udev_unref(m_udev);
}

USBDevice UdevDeviceSource::deviceFrom(udev_device* device) {
    USBDevice d;
    d.sysPath = udev_device_get_syspath(device);
    d.productName = text(udev_device_get_sysattr_value(device, "product"));
    if (!d.productName) d.productName = text(udev_device_get_property_value(device, "ID_MODEL"));
    return d;
}

std::vector<USBDevice> UdevDeviceSource::start(Handler handler) {
    m_handler = std::move(handler);
    if (!m_udev) {
        writeConsoleLine("USB watching unavailable: libudev could not be initialised");
        return {};
    }
    const char* group = QFileInfo::exists("/run/udev/control") ? "udev" : "kernel";
    m_monitor = udev_monitor_new_from_netlink(m_udev, group);
    if (m_monitor &&
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") == 0 &&
        udev_monitor_enable_receiving(m_monitor) == 0) {
        m_notifier = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(m_monitor),
                                                       QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                         [this] { drainMonitor(); });
    } else {
        writeConsoleLine("USB changes will not be seen: no device monitor (" +
                         std::string(std::strerror(errno)) + ")");
        if (m_monitor) udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }

    std::vector<USBDevice> present;
    udev_enumerate* enumerate = udev_enumerate_new(m_udev);
    if (!enumerate) return present;
    udev_enumerate_add_match_subsystem(enumerate, "usb");
    udev_enumerate_add_match_property(enumerate, "DEVTYPE", "usb_device");
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        udev_device* device = udev_device_new_from_syspath(m_udev, udev_list_entry_get_name(entry));
        if (!device) continue;
        USBDevice d = deviceFrom(device);
        udev_device_unref(device);
        m_names[d.sysPath] = d.productName;
        present.push_back(std::move(d));
    }
    udev_enumerate_unref(enumerate);
    return present;
}

void UdevDeviceSource::drainMonitor() {
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        const std::string action =
            udev_device_get_action(device) ? udev_device_get_action(device) : "";
        USBDevice d = deviceFrom(device);
        udev_device_unref(device);
        if (action == "add") {
            m_names[d.sysPath] = d.productName;
            m_handler(Change::added, d);
        } else if (action == "remove") {
            if (!d.productName) {
                const auto known = m_names.find(d.sysPath);
                if (known != m_names.end()) d.productName = known->second;
            }
            m_names.erase(d.sysPath);
            m_handler(Change::removed, d);
        }
    }
}

}  // namespace tgw::usb
