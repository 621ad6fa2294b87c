#include "app/broker/reconnect_policy.h"

#include <algorithm>
#include <cstdint>

namespace tgw::app {

std::chrono::milliseconds reconnectDelay(const ReconnectDelays& delays, int attempt,
                                         double random) {
    const double cap = static_cast<double>(delays.cap.count());
    double base = static_cast<double>(delays.first.count());
    for (int i = 0; i < attempt && base < cap; ++i) base *= 2;
    base = std::min(base, cap);
    const double jittered = base * (1.0 + delays.jitter * std::clamp(random, -1.0, 1.0));
    return std::chrono::milliseconds(std::max<int64_t>(1, static_cast<int64_t>(jittered)));
}

}  // namespace tgw::app
