// Each task's processes as one unit: the task's own cgroup where the
// supervisor can make one, else the main process's descendants as found in
// /proc at the moment.
//
// A cgroup is made for a task below the supervisor's own cgroup, named
// after the task, when the task is first started, by a supervisor running
// as root on a system with cgroup v2 mounted (unless --no_task_cgroups).
// Every end the supervisor or the operator brings about ends the whole
// unit: the main process gets its signal first, exactly as it always did,
// then the rest.  A process tree is looked at before the main process gets
// its signal: once it has ended, its children belong to another parent.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "base/process_units.hpp"

namespace vorn {

// --no_task_cgroups: every unit is followed as a process tree.
extern bool task_cgroups_off;

// Where the task cgroups go: below the supervisor's own, when it may make them.
struct unit_place {
    bool cgroups;       // tasks get cgroups of their own
    cgroup_path mount;  // the cgroup2 mount
    cgroup_path base;   // the supervisor's own cgroup, below mount
};
extern unit_place units;

// Process tree for every task, and no unit being ended.
void reset_units();
// At start-up: cgroups for the tasks when running as root with cgroup v2
// mounted and the option not given.
void setup_units();

// The cgroup of the task name into dir, when its unit is one (the name can
// name a cgroup); false when it is followed as a process tree.
bool unit_cgroup_of(const char* name, cgroup_path& dir);

// Before fork: a descriptor of the slot's cgroup.procs, open for writing,
// into which the child writes "0" to join it before it executes its
// program; -1 when the slot's unit is followed as a process tree.  The
// cgroup is made here when it is missing; one that cannot be made puts
// every task back to process trees, said once.
int unit_join_descriptor(std::size_t slot);

// Before the main process of the task gets its first signal: what must be
// found now (the members of a process tree) is noted.
void unit_ending(const char* name, pid_t main);
// After the main process got `signal`: the rest of the unit gets it too.
// SIGKILL ends the unit (cgroup.kill, or each member, then a second look
// for what the members forked) and forgets what was noted.  Never pid 1 or
// less, never the supervisor, never a process not found in the unit.
void unit_signal_rest(const char* name, pid_t main, int signal);
// The whole unit ended at once: noted, the main process killed as ever
// (sys.kill_process), then the rest.
void end_unit_now(const char* name, pid_t main);

}  // namespace vorn
