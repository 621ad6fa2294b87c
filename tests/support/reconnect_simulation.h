// A fleet of agents that lose the broker at the same moment, on the reconnect
// policy alone: every attempt while the broker is away fails at once, the
// first one after it is back succeeds. Seeded, so that a run is repeatable.
#pragma once

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <vector>

#include "app/broker/reconnect_policy.h"

namespace tgw::test {

struct OutageOutcome {
    int busiestSecond = 0;              // connects in the busiest second after the broker is back
    std::chrono::milliseconds half{0};  // after the broker is back, until half the fleet is
    std::chrono::milliseconds all{0};
    long failed = 0;  // attempts while the broker was away
};

inline OutageOutcome simulateOutage(const app::ReconnectDelays& delays, int agents,
                                    std::chrono::milliseconds outage, unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    OutageOutcome out;
    std::vector<std::chrono::milliseconds> back;
    std::map<long, int> perSecond;
    for (int agent = 0; agent < agents; ++agent) {
        std::chrono::milliseconds at{0};
        for (int attempt = 0;; ++attempt) {
            at += app::reconnectDelay(delays, attempt, at, uniform(random));
            if (at >= outage) break;
            ++out.failed;
        }
        back.push_back(at - outage);
        ++perSecond[static_cast<long>((at - outage).count() / 1000)];
    }
    std::sort(back.begin(), back.end());
    for (const auto& [second, connects] : perSecond) {
        out.busiestSecond = std::max(out.busiestSecond, connects);
    }
    out.half = back[back.size() / 2];
    out.all = back.back();
    return out;
}

}  // namespace tgw::test
