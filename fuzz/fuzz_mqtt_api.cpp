// Command JSON from the web service: decoding never fails badly, and what
// decodes encodes back to the same record.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/mqtt_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto api = tgw::app::MqttApi::decode(text);
    if (!api) return 0;
    const auto again = tgw::app::MqttApi::decode(api->encode());
    if (!again || again->type != api->type || again->data != api->data ||
        again->action != api->action) {
        __builtin_trap();
    }
    return 0;
}
