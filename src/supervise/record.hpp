// The record of the supervisor's state: what it is doing, beyond the task
// table, as the status file, the metrics file and the systemd STATUS line
// show it.  The cycle tells this module of every change it makes (a turn
// begins, the configuration is read, a task starts, is seen to have ended,
// is reaped or killed, a marker begins or stops holding a slot back, the
// updater ends); the writers (supervise/status, supervise/metrics,
// supervise/watch) read it, and supervise/publish hands it to them.  No
// output format lives here.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "base/status_document.hpp"
#include "supervise/child_setup.hpp"
#include "supervise/start_gate.hpp"
#include "supervise/start_report.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// A moment by two clocks: the wall clock for display, and the boot clock
// (CLOCK_BOOTTIME seconds) for every duration, since the wall clock jumps
// when it is set (devices boot in 1970 and learn the time later).
struct moment {
    std::time_t wall;
    std::time_t boot;
};

// How a child ended.
enum class exit_kind : std::uint8_t { none, code, signal };

struct exit_record {
    exit_kind kind;
    std::int32_t value;  // exit code or signal number
    moment at;           // when the end was first seen; zero while kind is none
};

// What is known of one slot beyond the task table, kept across turns as
// long as the slot holds a task of the same name.
struct slot_record {
    std::array<char, task_name_size> name;  // the task the counts belong to
    std::int32_t configured_mode;           // its mode when the turn began
    std::uint32_t starts;                   // since the supervisor started
    std::uint32_t ends;                     // since the supervisor started, kills included
    moment since;                           // start of the latest child
    bool started_this_turn;
    // Passes at whose end the latest child was seen running, counted up to
    // 2: from 2 on it has lived through a whole pass.
    std::uint8_t passes_seen_running;
    // The slot's child has ended and waits for its reap (one per pass):
    // its end is already in last_exit.
    bool end_seen;
    exit_record last_exit;
    std::uint32_t same_exits;  // latest ends in a row that ended as last_exit
    // Of those, the ends the supervisor brought about (a command's restart
    // or stop, the kills of a new turn), and whether it is ending the
    // latest child now: no failure of the task.
    std::uint32_t ended_by_supervisor;
    bool ending;
    std::uint32_t short_runs;  // latest ends in a row with code 0 within a pass of the start
    marker_path marker;        // the marker holding it back, empty when none
    bool stopped;              // held down by the operator (its row in holds)
    // Why the latest start with settings did not execute the program
    // ("cannot take uid 65534: Operation not permitted"); "" once a start
    // executed it.
    std::array<char, start_failure_text_size> start_failure;
};

// A task the operator stopped: held down whatever its mode, across turns,
// configuration reads and (kept in a file) a restart of the supervisor,
// until the operator starts it.  Found by the task's name.
struct operator_hold {
    std::array<char, task_name_size> name;  // "" when the row is free
    uid_t by;
    moment since;
};

// How the updater's ends are counted: by the exit status that steers the
// supervisor (0, 1, anything else) or a signal.
enum updater_end : std::uint8_t {
    updater_code_0,
    updater_code_1,
    updater_code_other,
    updater_signal,
    updater_end_count
};

// The supervisor's own protection from the OOM killer (oom_score_adj
// -1000), as start-up left it: not asked for (--no_oom_protect, or not
// root), taken, or refused by the kernel.
enum class oom_protection : std::uint8_t { not_asked, taken, refused };

struct supervisor_record {
    pid_t pid;
    unsigned long long start_ticks;  // field 22 of /proc/self/stat, 0 when not known
    moment started;
    std::uint32_t turn;
    moment turn_started;
    bool configuration_read;  // false until the first configuration step
    bool usable;
    std::array<char, 640> problem;
    exit_record updater_exit;
    const char* updater_then;  // what the supervisor did about it, nullptr before
    std::array<std::uint32_t, updater_end_count> updater_ends;  // since the supervisor started
    oom_protection oom;
    int oom_error;         // why the kernel refused it
    int kill_error;        // kill_by_name_error of the latest turn
    bool kill_error_told;  // said on standard error since it last worked
    std::array<slot_record, task_slot_count> slots;
    std::array<operator_hold, task_slot_count> holds;
    bool changed;  // something changed since the record was last published
    // A child has lived through its first whole pass since then: only the
    // writers that tell it apart (the metrics file's up) follow.
    bool up_changed;
};

extern supervisor_record current_record;

// Forgets everything: this process, started now, no turn yet, its OOM
// protection not asked for.
void reset_record();

void record_turn_begins();
// After the configuration step: its verdict, and what kill-by-name met
// (a killall that cannot be run is said once on standard error).
void record_configuration(bool usable, const config_problem& problem);
// After a reload put a new table in place of the old one: each slot takes
// what was known of the old slot from[slot] (-1: counts afresh), whose task
// it took the place of, and the mode the file gives it.
void record_reloaded(const std::array<int, task_slot_count>& from);
void record_started(std::size_t slot);
// The slot's child was reaped with the waitpid status word.
void record_ended(std::size_t slot, int wait_status);
// The supervisor killed the slot's child: a child that had already ended
// on its own keeps its own end.
void record_killed(std::size_t slot);
// The supervisor has sent the slot's child a signal to end it: its end,
// when it comes, is the supervisor's doing.
void record_ending(std::size_t slot);
// The task in slot 0 ended (record_ended has recorded it): what was done.
void record_updater_ended(const char* then);
// The start gate's answer for a due slot: the marker's path, or "".
void record_gate(std::size_t slot, const marker_path& marker);

// The operator holds the slot's task down from now on (false when no row
// is free), or no longer.
bool record_stopped(std::size_t slot, uid_t by, moment since);
void record_released(std::size_t slot);
// The hold of a task by its name, when no slot holds it: false when none.
bool record_released_name(const char* name);
// The slot's hold, or nullptr.
const operator_hold* hold_of_slot(std::size_t slot);

// The slot's state: running, exited, ended, off, held_back, waiting or stopped.
slot_state state_of_slot(const task_info& task, const slot_record& s);
// Whether the slot's child runs and has lived through a whole pass: a
// child that ends at once, again and again, is never up.
bool slot_up(const task_info& task, const slot_record& s);

// The end of the slot's running child was seen, not yet reaped (status as
// waitpid gives it): recorded and said in its log now, so that the status
// is never behind an end.  False when it was already known.
bool record_end_seen(std::size_t slot, int wait_status);

// What a start of the slot told of its steps: the failure's text is kept,
// or forgotten once a start executed the program.
void record_start_news(std::size_t slot, start_news news, const start_failure& failure);
// At a pass: what the slots' kept exec reports tell by now (a child that
// executed its program clears the slot's start failure).
void record_start_reports();

// The slot's child was seen running at the end of a pass.
inline void record_seen_running(std::size_t slot) {
    slot_record& s = current_record.slots[slot];
    if (s.passes_seen_running < 2 && ++s.passes_seen_running == 2) current_record.up_changed = true;
}

// The moment now, by both clocks.
moment now_moment();

}  // namespace vorn
