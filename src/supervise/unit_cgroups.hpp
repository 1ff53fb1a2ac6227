// The cgroups of the task units: made, trusted and removed by the
// supervisor alone.
//
// Running as root with cgroup v2 mounted (unless --no_task_cgroups), the
// supervisor makes a container of its own below its own cgroup,
// <own>/vorn_restart.tasks, afresh at start-up, and moves itself into the
// leaf <own>/vorn_restart.supervisor, as cgroup delegation asks.  Each task
// gets the cgroup <container>/<its name>, made afresh at its first start in
// this run; a task that leaves the configuration has its cgroup removed
// once it holds nothing, and the supervisor removes the container when it
// ends.
//
// Nothing it did not make is trusted: a container found at start-up is
// taken apart (its empty cgroups removed) and made again, and one that
// cannot be (it holds processes, or is not a directory of root's that only
// root can write) leaves every task followed as a process tree, said once;
// so does a container or a task cgroup that cannot be made at all.  A task
// cgroup found there before its first start holding processes refuses that
// start (the child's cgroup step, start_failure).
#pragma once

#include <cstddef>

#include "base/process_units.hpp"
#include "supervise/child_setup.hpp"

namespace vorn {

// --no_task_cgroups: every unit is followed as a process tree.
extern bool task_cgroups_off;

// Where the task cgroups go.
struct unit_place {
    bool cgroups;           // tasks get cgroups of their own
    cgroup_path mount;      // the cgroup2 mount
    cgroup_path base;       // the supervisor's own cgroup, below mount
    cgroup_path container;  // base/vorn_restart.tasks
};
extern unit_place units;

// Process tree for every task, and no cgroup known.
void reset_unit_cgroups();
// At start-up: the container made afresh and the supervisor in its leaf,
// when running as root with cgroup v2 mounted and the option not given.
void setup_units();
// On the supervisor's exit paths: every task cgroup it made and the
// container removed, where they hold nothing.
void end_units();

// The cgroup of the task name into dir, when its unit is one (the name can
// name a cgroup); false when it is followed as a process tree.
bool unit_cgroup_of(const char* name, cgroup_path& dir);
// Whether the task's cgroup was made by this supervisor in this run: only
// such a cgroup is ever signalled or counted.
bool unit_cgroup_made(const char* name);

// How the next child of the slot enters its unit, decided before fork.
struct unit_start {
    int cgroup_fd;    // its cgroup's directory, to start the child in (-1: none)
    cgroup_path dir;  // that cgroup
};
// Makes or checks the slot's cgroup: a descriptor of it for
// sys.fork_into_cgroup, or, where the kernel cannot start a child in a
// cgroup, plan->cgroup_join_fd; a cgroup that must not be used (it held
// processes the supervisor did not put there) goes into
// plan->cgroup_refused, so that the child fails its cgroup step.  Nothing
// for a task followed as a process tree.
unit_start begin_unit_start(std::size_t slot, child_plan* plan);
// After sys.fork_into_cgroup failed with `error`: whether the child is to
// be forked instead, joining its cgroup as its first step (then in
// plan->cgroup_join_fd).  A kernel without the call is not asked again.
bool unit_start_by_joining(unit_start& start, int error, child_plan* plan);
// After fork: the parent's descriptors closed.
void end_unit_start(unit_start& start, child_plan* plan);

// After a turn or a reload changed the table: the cgroups of tasks that
// left it are removed, now or at the next passes while they still hold
// processes; those of tasks that came back are kept.
void units_follow_table();
// At every pass: another try at the cgroups still to be removed (nothing
// to do, and nothing read, when there are none).
void tidy_unit_cgroups();

// The task's cgroup got a cgroup.kill.  Some kernels then kill every child
// started into that cgroup by clone3 at once: its next child is started
// in a cgroup made afresh, or, while it still holds processes, forked to
// join it.
void unit_cgroup_killed(const char* name);

// A counter of the cgroups made: a cgroup made again is another source of
// its cpu.stat.  0 when the task has none.
unsigned unit_cgroup_generation(const char* name);

}  // namespace vorn
