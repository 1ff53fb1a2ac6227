// The configuration file applied between turns, as the operator asks
// (vorn_restart_ctl reload): read and checked first, then applied as a
// difference from the table that runs.  The turns the updater begins are
// not touched by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "tasks/task_table.hpp"

namespace vorn {

// What a reload did to the task of a slot of the new table.
enum class reload_change : std::uint8_t {
    none,     // no task in the slot
    kept,     // its entry is unchanged: it keeps its child, wherever it was
    changed,  // its entry changed: a new child once the old one has ended
    added,    // its name is new to the table, or one more copy of a name
};

struct reload_result {
    std::array<char, 640> problem;                      // why the file cannot be used
    std::array<reload_change, task_slot_count> change;  // per slot of the new table
    // The names, separated by spaces, of the old entries no new one took
    // the place of: their child is ended.
    std::array<char, task_slot_count * task_name_size> stopped;
    // Per slot of the old table, its child that is being ended (0 for
    // none), and the slot of the new table whose task of the same name
    // holds that pid until it has ended, -1 for none: that task starts only
    // then, so that no two copies of it run at once.
    std::array<pid_t, task_slot_count> ending;
    std::array<int, task_slot_count> waiting;
    // Per slot of the new table, its starts when the reload began.
    std::array<std::uint32_t, task_slot_count> starts;
};

// Reads the configuration file.  When it cannot be used, the table is left
// as it was and false is returned with result.problem saying why.  When it
// can: its table takes the place of the old one.  Entries are compared as
// the files wrote them (a `once` entry that has run is still `once`): an
// entry equal to an old one keeps that one's child, in whatever slot it
// now stands, with all that is known of it (counts, ends, its log); a
// changed entry of an old name takes the old one's record and waits for
// its child; the child of every other old entry gets SIGTERM and is listed
// in result.ending; stale copies of the names new to the table are killed
// by name.  What is due starts at the next start step.
bool begin_reload(reload_result& result);

// The name of the task whose old child in result.ending[old_slot] ends:
// its unit ends with it.
const char* ending_task_name(std::size_t old_slot);

// Before the start step that follows the reload: a `once` task it
// brought in (new or changed) that has not started since is `once` again,
// though a reap while the old children ended turned every `once` slot into
// `none` (the cycle's rule for the runs of a turn).
void keep_new_once_entries(const reload_result& result);

inline constexpr std::size_t reload_answer_size = 6 * task_slot_count * task_name_size;

// The answer once the old children have ended: "reloaded: kept ...;
// restarted ...; stopped ...; started ..." ("none" for an empty list).
// Restarted: a changed task whose old child ended and that starts again;
// started: a new task, or a changed one that had no child.  Stopped: the
// old entries no new one took the place of, then ", NAME (why)" for each
// changed task whose old child ended and that does not start now (its
// entry refused, with the reason; held down by the operator; in mode none;
// held back by a not-run marker).  Then, when a task that had no child
// does not start, "; not started NAME (why), ...".  False when it does not
// fit.
bool format_reload_answer(const reload_result& result, char* buf, std::size_t size);

}  // namespace vorn
