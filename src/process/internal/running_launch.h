// RunningLaunch: a launch from its start until it has reported its end, as
// stopping sees it. Every launch runs in a process group (a session) of its
// own whose id is the pid of the process it started, so that stopping reaches
// whatever that process started in turn. Internal to the process runner.
#pragma once

#include <sys/types.h>
#include <QDeadlineTimer>
#include <cstdint>

namespace tgw::process {

// How long, after the started process has ended, the end of its output is
// awaited before the end is reported: a process it left behind may hold the
// output open for good.
inline constexpr int kStreamEndWaitMs = 1000;

class RunningLaunch {
  public:
    RunningLaunch();
    virtual ~RunningLaunch();
    RunningLaunch(const RunningLaunch&) = delete;
    RunningLaunch& operator=(const RunningLaunch&) = delete;

    // Identifies the launch for as long as it runs (never reused).
    uint64_t id() const { return m_id; }

    // SIGTERM to the launch's whole group now, SIGKILL one second later if
    // anything of it is left. Returns at once; the end is reported as usual.
    // Does nothing for an id that is not (or no longer) running.
    static void stop(uint64_t id);
    // Stops every running launch and waits until each group is gone: at most
    // about one second, then SIGKILL for what is left.
    static void stopAll();

  protected:
    // The process was started: from now on the launch can be stopped.
    void started(pid_t group);
    // The end has been reported: the launch can no longer be stopped, and
    // whatever is left of its group is killed (at the latest when the launch
    // goes).
    void reported();
    pid_t group() const { return m_group; }
    // Blocks until the started process has ended (its end is then handled as
    // usual) or `deadline` has passed; true once it has ended.
    virtual bool waitForEnd(QDeadlineTimer deadline) = 0;

  private:
    const uint64_t m_id;
    pid_t m_group = 0;
};

// Sends `signal` to every process of the group; nothing for an id that cannot
// be a launch's group.
void signalGroup(pid_t group, int signal);
// Whether any process of the group is still there (zombies included).
bool groupHasMembers(pid_t group);

}  // namespace tgw::process
