// The checker's judged view of the running supervisor (status_judge.hpp
// makes it, status_slots.hpp judges each slot of it, status_print.hpp
// prints it): what the status file says, confirmed against /proc.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/process_units.hpp"
#include "check/status_read.hpp"
#include "check/task_log.hpp"

namespace vorn {

// A child the file calls running, as /proc shows it now.  not_executed: a
// child of the supervisor that has not executed the task's program yet
// (its /proc/<pid>/exe is still the supervisor's): no task runs there.
enum class child_check { not_running, live, gone, zombie, not_child, not_executed };

// Why a slot has a why-line: the cause it names.
enum class why_cause : std::uint8_t {
    none,              // no line
    executable,        // its executable cannot be run
    background,        // it puts itself in the background
    crash_loop,        // its runs end alike, again and again
    exit,              // it has ended, with the status given
    ended,             // it has ended; nothing more is known
    waiting,           // it starts at the next pass
    held_back,         // a not-run marker holds it back
    once_not_started,  // a once task that was not started in this turn
    no_process,        // recorded as running, and no such process
    not_a_child,       // recorded as running, and the pid is another process
    unknown_state,     // the file names a state this checker does not know
    stopped,           // the operator holds it down
    refused,           // its entry cannot be honoured: it never runs
    start_failure,     // a step before its program failed: it never ran
    starting,          // forked, its program not executed yet, and nothing known against it
};
inline constexpr std::array<const char*, 16> why_cause_names = {
    "",        "executable", "background",       "crash_loop", "exit",        "ended",
    "waiting", "held_back",  "once_not_started", "no_process", "not_a_child", "unknown_state",
    "stopped", "refused",    "start_failure",    "starting"};

// How the slot's processes are followed, what they use, and what earlier
// runs left in its cgroup, as seen now.
enum class unit_tracking : std::uint8_t { unknown, cgroup, process_tree, refused };
inline constexpr std::size_t leftovers_shown = 8;
struct judged_unit {
    unit_tracking tracking;
    unit_usage usage;
    long leftover_count;  // -1: cannot be told
    std::array<unit_member, leftovers_shown> leftovers;
    std::array<std::array<char, 32>, leftovers_shown> leftover_names;
};

struct judged_slot {
    const read_slot* read;
    child_check child;
    const char* state;  // confirmed: a slot_state name, "gone", or the file's own word
    bool due;           // should run, and does not
    why_cause cause;
    std::array<char, 2048> why;  // the why-line, "" when none
    bool log_shown;              // tail holds the end of its log
    status_log_tail tail;
    judged_unit unit;
};

enum class logs_kept { no, yes, unusable };

// The supervisor's own, and one per slot whose log a stranger writes to.
inline constexpr std::size_t status_warnings_max = 5 + task_slot_count;

struct judged_status {
    bool live;               // a live supervisor wrote the file
    status_absence absence;  // when not: why, and the exit status
    supervisor_facts facts;
    status_reading reading;
    bool stopped;  // the supervisor is stopped (state T or t)
    bool hung;     // no pass for longer than status_stale_seconds
    std::size_t slot_count;
    std::array<judged_slot, task_slot_count> slots;
    logs_kept logs;
    std::size_t warning_count;
    std::array<std::array<char, 1536>, status_warnings_max> warnings;
    int exit_status;  // status_exit_running, _degraded, _absent or _unknown
};

extern judged_status judged;

}  // namespace vorn
