// Command JSON from the web service: decoding never fails badly, what decodes
// encodes back to the same record (less a byte order mark at the start of a
// text, which encoding drops), and its console quote holds no control byte.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/queries/console_text.h"
#include "app/queries/mqtt_api.h"

namespace {

using Text = std::optional<std::string>;

Text withoutBom(Text text) {
    if (text && text->rfind("\xEF\xBB\xBF", 0) == 0) text->erase(0, 3);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const char c : tgw::app::consoleQuote(text, 64)) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    }
    const auto api = tgw::app::MqttApi::decode(text);
    if (!api) return 0;
    const auto again = tgw::app::MqttApi::decode(api->encode());
    if (!again || again->type != withoutBom(api->type) || again->data != withoutBom(api->data) ||
        again->action != withoutBom(api->action) || again->serial != withoutBom(api->serial) ||
        again->udid != withoutBom(api->udid)) {
        __builtin_trap();
    }
    return 0;
}
