// Each task's processes as one unit: the task's own cgroup where the
// supervisor made one (unit_cgroups.hpp), else the main process's
// descendants as found in /proc.
//
// Every end the supervisor or the operator brings about ends the whole
// unit: the main process gets its signal first, exactly as it always did,
// then the rest, each process once.  A process gets a signal only when it
// is proven a member of the unit at that moment: in the task's cgroup
// (/proc/<pid>/cgroup), or, for a process tree, the very process noted
// before the main process got its first signal, or a child of a member
// that is still the process it was (pid and start time).  Where the kernel
// has process descriptors, the proof and the signal go through one, so
// that a pid that came round again in between is never reached.  A
// process tree is noted before the main process gets its first signal:
// once it has ended, its children belong to another parent.  No fixed
// bound limits the processes of a unit: the lists live in scratch pages
// that are given back once the end is over.
#pragma once

#include <array>
#include <cstddef>
#include <sys/types.h>

#include "base/process_units.hpp"
#include "supervise/unit_cgroups.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// Process tree for every task, no cgroup known, nothing noted or counted.
void reset_units();

// While one lives, the units followed as process trees share one look at
// /proc, taken when the first of them needs it, instead of one each (the
// kills of a turn); it is given back when it goes.
class shared_process_look {
public:
    shared_process_look();
    ~shared_process_look();
    shared_process_look(const shared_process_look&) = delete;
    shared_process_look& operator=(const shared_process_look&) = delete;
};

// Before the main process of the task gets its first signal: what must be
// found now (the members of a process tree) is noted.
void unit_ending(const char* name, pid_t main);
// After the main process got `signal`: the rest of the unit gets it too,
// deepest first.  SIGKILL ends the unit (cgroup.kill, or each member, and
// what the members forked since they were noted) and forgets what was
// noted.  Never pid 1 or less, never the supervisor, never a process not
// proven in the unit.
void unit_signal_rest(const char* name, pid_t main, int signal);
// The whole unit ended at once: noted, the main process killed as ever
// (sys.kill_process), then the rest.
void end_unit_now(const char* name, pid_t main);

// What a slot's unit uses now, and its processes that started before its
// running child (-1: not told, for a process tree).  The CPU time of a
// slot never goes down while the same task holds it: the time of its
// earlier runs (or cgroups) is kept and added.
struct unit_reading {
    unit_usage usage;
    long leftovers;
};
// Every slot's unit, with one look at /proc for all those followed as
// process trees.
void read_units(std::array<unit_reading, task_slot_count>& readings);

}  // namespace vorn
