// Reads a field of /proc/self/status in KiB (VmRSS:, VmHWM:) or as a count
// (voluntary_ctxt_switches:); -1 when absent.
#pragma once

#include <cstring>
#include <fstream>
#include <string>

namespace tgw::test {

inline long procStatus(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    }
    return -1;
}

}  // namespace tgw::test
