// Quoting outside text (command payloads, tool output) for a console line:
// the line stays one line, holds no terminal control sequences, and stays
// short however large the text is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tgw::app {

// At most `maxChars` characters of `text` with every control character written
// as an escape (\n, \r, \t, \xHH); a longer text ends in "... (N bytes)" with
// its full length. A short text without control characters comes back as it is.
std::string consoleQuote(std::string_view text, size_t maxChars = 1000);

}  // namespace tgw::app
