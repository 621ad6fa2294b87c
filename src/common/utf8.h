// UTF-8 validation shared by the MQTT codec and the process runner.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tgw {

// Strict check: no overlong forms, no surrogates, nothing above U+10FFFF, and
// no sequence cut off at the end.
bool isValidUtf8(std::span<const uint8_t> bytes);
inline bool isValidUtf8(std::string_view s) {
    return isValidUtf8(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

}  // namespace tgw
