#include "app/broker/reconnect_policy.h"

#include <algorithm>
#include <cstdint>

namespace tgw::app {

namespace {

// `first` doubled `times` times, at most `cap`.
double doubled(const ReconnectDelays& delays, int times) {
    const double cap = static_cast<double>(delays.cap.count());
    double wait = static_cast<double>(delays.first.count());
    for (int i = 0; i < times && wait < cap; ++i) wait *= 2;
    return std::min(wait, cap);
}

}  // namespace

std::chrono::milliseconds reconnectDelay(const ReconnectDelays& delays, int attempt,
                                         std::chrono::milliseconds waited, double random) {
    random = std::clamp(random, -1.0, 1.0);
    double wait = 0;
    if (delays.backoff == Backoff::doubling) {
        wait = doubled(delays, attempt) * (1.0 + delays.jitter * random);
    } else {
        const double floor =
            std::max(static_cast<double>(delays.first.count()), doubled(delays, attempt) / 4);
        const double middle = static_cast<double>(delays.base.count()) +
                              delays.perSecondWaited * static_cast<double>(waited.count());
        wait = std::min(static_cast<double>(delays.cap.count()),
                        std::max(floor, middle * (1.0 + 0.5 * random)));
    }
    return std::chrono::milliseconds(std::max<int64_t>(1, static_cast<int64_t>(wait)));
}

}  // namespace tgw::app
