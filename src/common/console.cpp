#include "common/console.h"

#include <cstdio>

namespace tgw {

void writeConsoleLine(std::string_view text) {
    // One locked stdio sequence: no other line can come between the text and
    // its line end, and a large text is not copied first.
    flockfile(stdout);
    fwrite_unlocked(text.data(), 1, text.size(), stdout);
    fputc_unlocked('\n', stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
}

}  // namespace tgw
