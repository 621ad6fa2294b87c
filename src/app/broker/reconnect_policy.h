// How long the connection owner waits before connecting again after a loss.
// A pure function, so that its spread can be checked without a clock.
#pragma once

#include <chrono>

namespace tgw::app {

enum class Backoff {
    // Each wait drawn between a floor and three times the previous wait, at
    // most `cap`. Agents that lost the broker at the same moment drift apart
    // with every attempt instead of retrying together. The floor is a quarter
    // of the doubling wait (at least `first`): waits that happen to come out
    // short still grow, so that a connection lost again at once (another
    // client taking the client id) makes at most 6 attempts in the first 20 s
    // and 8 in the first minute, and a long outage costs few attempts.
    decorrelated,
    // `first` doubling with every attempt up to `cap`, varied by +-`jitter`:
    // agents that lost the broker together stay together.
    doubling,
};

struct ReconnectDelays {
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds cap{60'000};
    double jitter = 0.2;  // for `doubling` only
    // A connection that stayed subscribed this long was a good one: the next
    // loss starts again from `first`. One that ends sooner keeps the wait growing.
    std::chrono::milliseconds stable{60'000};
    Backoff backoff = Backoff::decorrelated;
};

// The wait before attempt `attempt` (0 for the first after a loss), given the
// wait before the previous attempt (`previous`, zero for none) and `random`,
// uniform in [-1, 1].
std::chrono::milliseconds reconnectDelay(const ReconnectDelays& delays, int attempt,
                                         std::chrono::milliseconds previous, double random);

}  // namespace tgw::app
