// Console output of the agent: every diagnostic line goes to standard output
// through this one helper, which writes a whole line in one call and flushes,
// so that lines from different parts of the program never interleave.
#pragma once

#include <string_view>

namespace tgw {

// Writes `text` followed by a line feed to standard output and flushes.
void writeConsoleLine(std::string_view text);

}  // namespace tgw
