#include "process/internal/running_launch.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <map>
#include <vector>

#include "process/internal/group_records.h"

namespace tgw::process {

namespace {

constexpr int kGraceMs = 1000;  // SIGTERM, then SIGKILL for what is left

// The running launches by id; main thread only, like every launch.
std::map<uint64_t, RunningLaunch*>& registry() {
    static std::map<uint64_t, RunningLaunch*> launches;
    return launches;
}

uint64_t nextId() {
    static uint64_t last = 0;
    return ++last;
}

void killLeftovers(pid_t group) {
    if (groupHasMembers(group)) signalGroup(group, SIGKILL);
}

}  // namespace

void signalGroup(pid_t group, int signal) {
    // 0 and 1 would reach the caller's own group or every process.
    if (group > 1) ::kill(-group, signal);
}

bool groupHasMembers(pid_t group) {
    return group > 1 && (::kill(-group, 0) == 0 || errno == EPERM);
}

RunningLaunch::RunningLaunch() : m_id(nextId()) {}

RunningLaunch::~RunningLaunch() {
    reported();
}

void RunningLaunch::started(pid_t group) {
    m_group = group;
    if (group <= 1) return;
    registry()[m_id] = this;
    noteGroup(group);
}

void RunningLaunch::reported() {
    if (registry().erase(m_id) == 0) return;
    killLeftovers(m_group);
    forgetGroup(m_group);
}

void RunningLaunch::stop(uint64_t id) {
    const auto it = registry().find(id);
    if (it == registry().end()) return;
    const pid_t group = it->second->group();
    signalGroup(group, SIGTERM);
    QTimer::singleShot(kGraceMs, [group] { killLeftovers(group); });
}

void RunningLaunch::stopAll() {
    const QDeadlineTimer deadline(kGraceMs);
    std::map<uint64_t, pid_t> signalled;
    // Reaping a started process reports its end, and a terminate handler may
    // launch again: those launches are stopped in the next round.
    for (;;) {
        std::vector<uint64_t> fresh;
        for (const auto& [id, launch] : registry()) {
            if (signalled.count(id) == 0) {
                fresh.push_back(id);
                signalled[id] = launch->group();
                signalGroup(launch->group(), SIGTERM);
            }
        }
        if (fresh.empty()) break;
        for (const uint64_t id : fresh) {
            const auto it = registry().find(id);
            if (it != registry().end()) it->second->waitForEnd(deadline);
        }
    }
    auto anyLeft = [&] {
        return std::any_of(signalled.begin(), signalled.end(),
                           [](const auto& g) { return groupHasMembers(g.second); });
    };
    while (anyLeft() && !deadline.hasExpired()) QThread::msleep(10);
    for (const auto& g : signalled) killLeftovers(g.second);
}

}  // namespace tgw::process
