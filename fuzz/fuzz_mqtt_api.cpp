// Command JSON from the web service: decoding never fails badly, what decodes
// encodes back to the same record, and its console quote holds no control byte.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/queries/console_text.h"
#include "app/queries/mqtt_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const char c : tgw::app::consoleQuote(text, 64)) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    }
    const auto api = tgw::app::MqttApi::decode(text);
    if (!api) return 0;
    const auto again = tgw::app::MqttApi::decode(api->encode());
    if (!again || again->type != api->type || again->data != api->data ||
        again->action != api->action || again->serial != api->serial || again->udid != api->udid) {
        __builtin_trap();
    }
    return 0;
}
