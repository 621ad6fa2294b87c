// Command JSON from the web service: decoding never fails badly, what decodes
// encodes back to the same record, and its console quote holds no control
// byte. Byte order marks at the start of a text are the one thing a round trip
// may lose: encoding drops one, and Qt's JSON reader drops one more from a
// string without escapes but none from a string with them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/queries/console_text.h"
#include "app/protocol/mqtt_api.h"

namespace {

using Text = std::optional<std::string>;

// `text` less the byte order marks at its start.
Text withoutBoms(Text text) {
    while (text && text->starts_with("\xEF\xBB\xBF")) text->erase(0, 3);
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
    if (!again || withoutBoms(again->type) != withoutBoms(api->type) ||
        withoutBoms(again->data) != withoutBoms(api->data) ||
        withoutBoms(again->action) != withoutBoms(api->action) ||
        withoutBoms(again->serial) != withoutBoms(api->serial) ||
        withoutBoms(again->udid) != withoutBoms(api->udid)) {
        __builtin_trap();
    }
    return 0;
}
