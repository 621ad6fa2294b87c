// USBDevice: one USB device as the watcher reports it.
#pragma once

#include <optional>
#include <string>

namespace tgw::usb {

struct USBDevice {
    std::string sysPath;  // identifies the device while it is attached
    std::optional<std::string> productName;

    // The device's name (its product string, else its model), or none.
    std::optional<std::string> name() const { return productName; }
};

}  // namespace tgw::usb
