// Where the watcher's devices come from: the system's device registry in the
// program, a scripted source in tests.
#pragma once

#include <functional>
#include <vector>

#include "usb/usb_device.h"

namespace tgw::usb {

class USBDeviceSource {
  public:
    enum class Change { added, removed };
    using Handler = std::function<void(Change, const USBDevice&)>;

    virtual ~USBDeviceSource() = default;
    // Starts listening for changes, delivered to `handler` on the main thread
    // from then on, and returns the devices attached now. Listening starts
    // first so that no device attached in between is missed.
    virtual std::vector<USBDevice> start(Handler handler) = 0;
};

}  // namespace tgw::usb
