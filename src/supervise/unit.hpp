// Each task's processes as one unit: the task's own cgroup where the
// supervisor can make one, else the main process's descendants as found in
// /proc at the moment.
#pragma once

#include <cstddef>

namespace vorn {

// Before fork: a descriptor of the slot's cgroup.procs, open for writing,
// into which the child writes "0" to join it before it executes its
// program; -1 when the slot's unit is followed as a process tree.
int unit_join_descriptor(std::size_t slot);

}  // namespace vorn
