// Notes of the running launches' process groups in the program's runtime
// folder, so that a later run can end what a run that was killed (SIGKILL, a
// crash) left behind: the parent-death signal reaches only the started
// process, not what it started in turn. One file per group, named
// "launch-<group id>", holding the start time of the group's first process
// (clock ticks since boot), the boot's id, the noting run's process id and
// start time, and when that run was last seen alive (clock ticks since boot,
// rewritten every two seconds while the group runs): a group is ended only
// while everything in it still fits that and it holds its first process or a
// process older than that last sign of life, so a process id used again by an
// unrelated program is never signalled, nor a group made after the noting run
// ended, and never while the run that noted it is still there. Internal to the
// process runner.
#pragma once

#include <sys/types.h>

#include <QString>

namespace tgw::process {

// Notes `group`, whose first process has just been started. Nothing until a
// folder has been given to endLeftBehindGroups.
void noteGroup(pid_t group);
// Removes the note of `group`: it has ended, or its end was reported.
void forgetGroup(pid_t group);

// Ends (SIGKILL) every noted group in `folder` that still has processes and
// still fits its note, removes the notes, and notes this run's groups there
// from now on. Returns how many groups were ended.
int endLeftBehindGroups(const QString& folder);

}  // namespace tgw::process
