// The configuration file applied between turns, as the operator asks
// (vorn_restart_ctl reload): read and checked first, then applied as a
// difference from the table that runs.  The turns the updater begins are
// not touched by it.
#pragma once

#include <array>
#include <cstddef>
#include <sys/types.h>

#include "tasks/task_table.hpp"

namespace vorn {

struct reload_result {
    std::array<char, 640> problem;  // why the file cannot be used
    // The names, separated by spaces, of the tasks kept with their
    // child, restarted (their entry changed), stopped (gone from the file)
    // and started (new in it).
    std::array<char, task_slot_count * task_name_size> kept, restarted, stopped, started;
    // Per slot, the old child that is being ended (0 for none), and
    // whether the slot's task starts once it has ended.
    std::array<pid_t, task_slot_count> ending;
    std::array<bool, task_slot_count> start_after;
};

// Reads the configuration file.  When it cannot be used, the table is left
// as it was and false is returned with result.problem saying why.  When it
// can: its table takes the place of the old one; an entry equal to the old
// one in its slot keeps its child; the child of every other old entry gets
// SIGTERM and is listed in result.ending (a task of the same name in the
// same slot waits for it: start_after); stale copies of the names new to
// the table are killed by name.  What is due starts at the next start step.
bool begin_reload(reload_result& result);

}  // namespace vorn
