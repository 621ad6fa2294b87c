// How long the connection owner waits before connecting again after a loss.
// A pure function, so that its spread can be checked without a clock.
#pragma once

#include <chrono>

namespace tgw::app {

enum class Backoff {
    // Each wait drawn between half and one and a half times `base` plus
    // `perSecondWaited` of the time already waited. Agents that lost the broker
    // at the same moment drift apart with every attempt, and the wait grows
    // with the outage, so that a fleet returns spread over a time in proportion
    // to how long the broker was gone. Time spent in attempts does not count.
    // A floor of a quarter of the doubling wait (at least `first`) bounds the
    // attempts of a connection lost again at once (another client taking the
    // client id): at most 5 in the first 20 s and 8 in the first minute.
    proportional,
    // `first` doubling with every attempt up to `cap`, varied by +-`jitter`:
    // agents that lost the broker together stay together.
    doubling,
};

struct ReconnectDelays {
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds cap{60'000};
    double jitter = 0.2;  // for `doubling` only
    // For `proportional` only: the middle of the first wait, and how much of
    // the time waited is added to the middle of each later one.
    std::chrono::milliseconds base{3000};
    double perSecondWaited = 0.4;
    // A connection that stayed subscribed this long was a good one: the next
    // loss starts again with the first wait. One that ends sooner keeps the
    // wait growing.
    std::chrono::milliseconds stable{60'000};
    // After the broker refused the account or showed an untrusted
    // certificate: what an administrator mends on the server side is tried
    // now and then, not at the pace of a lost connection.
    std::chrono::milliseconds afterRefusal{300'000};
    Backoff backoff = Backoff::proportional;
};

// The wait before attempt `attempt` (0 for the first after a loss), given the
// sum of the waits before it (`waited`) and `random`, uniform in [-1, 1].
std::chrono::milliseconds reconnectDelay(const ReconnectDelays& delays, int attempt,
                                         std::chrono::milliseconds waited, double random);

}  // namespace tgw::app
