// How long the connection owner waits before connecting again after a loss.
// A pure function, so that its spread can be checked without a clock.
#pragma once

#include <chrono>

namespace tgw::app {

struct ReconnectDelays {
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds cap{60'000};
    double jitter = 0.2;
    // A connection that stayed subscribed this long was a good one: the next
    // loss starts again from `first`. One that ends sooner keeps the wait growing.
    std::chrono::milliseconds stable{60'000};
};

// The wait before attempt `attempt` (0 for the first after a loss): `first`
// doubling up to `cap`, varied by up to +-`jitter` with `random` in [-1, 1].
std::chrono::milliseconds reconnectDelay(const ReconnectDelays& delays, int attempt, double random);

}  // namespace tgw::app
