// A scripted USB device source: devices present at start, then whatever the
// test emits through the handler it hands out.
#pragma once

#include <vector>

#include "usb/usb_device_source.h"

namespace tgw::test {

class ScriptedUsbSource : public usb::USBDeviceSource {
  public:
    explicit ScriptedUsbSource(std::vector<usb::USBDevice> present, Handler* out = nullptr)
        : m_present(std::move(present)), m_out(out) {}
    std::vector<usb::USBDevice> start(Handler handler) override {
        if (m_out) *m_out = handler;
        return m_present;
    }

  private:
    std::vector<usb::USBDevice> m_present;
    Handler* m_out;
};

}  // namespace tgw::test
