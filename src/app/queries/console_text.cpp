#include "app/queries/console_text.h"

#include <algorithm>
#include <cstdio>

namespace tgw::app {

namespace {

// Bytes in the UTF-8 sequence led by `lead` (1 for a stray byte).
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2) return 2;
    return 1;
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The length of the whole UTF-8 sequence at the start of `text`, or 0 when
// its bytes are not one (a stray or cut sequence).
size_t wholeSequence(std::string_view text) {
    const size_t n = sequenceLength(static_cast<unsigned char>(text[0]));
    if (n == 1) return static_cast<unsigned char>(text[0]) < 0x80 ? 1 : 0;
    if (text.size() < n) return 0;
    for (size_t k = 1; k < n; ++k) {
        if (!isContinuation(text[k])) return 0;
    }
    return n;
}

void appendHexByte(std::string& out, unsigned char c) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
}

}  // namespace

std::string consoleQuote(std::string_view text, size_t maxChars) {
    std::string out;
    out.reserve(std::min(text.size(), maxChars * 4) + 32);
    size_t chars = 0;
    size_t i = 0;
    while (i < text.size() && chars < maxChars) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            switch (c) {
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default: appendHexByte(out, c);
            }
            ++i;
        } else if (c == 0xC2 && i + 1 < text.size() && isContinuation(text[i + 1]) &&
                   static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080..U+009F: C1 controls, which some terminals obey too.
            char hex[7];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned char>(text[i + 1]));
            out += hex;
            i += 2;
        } else if (const size_t n = wholeSequence(text.substr(i)); n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            appendHexByte(out, c);  // not UTF-8: shown, never passed to the terminal
            ++i;
        }
        ++chars;
    }
    if (i < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

}  // namespace tgw::app
