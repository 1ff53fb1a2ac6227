// The status file: what the supervisor is doing, for whoever asks.
//
// The cycle tells this module of every change it makes (a turn begins, the
// configuration is read, a task starts, is seen to have ended, is reaped or
// killed, a marker begins or stops holding a slot back, the updater ends),
// and publish_status() writes the whole picture as one JSON document to
// status_path, by way of a temporary file renamed over the old one.  A pass
// in which nothing changed writes nothing and allocates nothing; it only
// sets the file's modification time to the boot clock (mark_status_current),
// so that a reader can tell a live supervisor from a stopped or hung one.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "base/status_document.hpp"
#include "supervise/start_gate.hpp"
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

// How a child ended, as the status file shows it.
enum class exit_kind : std::uint8_t { none, code, signal };

struct exit_record {
    exit_kind kind;
    std::int32_t value;  // exit code or signal number
    moment at;           // when the end was first seen; zero while kind is none
};

// What is known of one slot beyond the task table, kept across turns as
// long as the slot holds a task of the same name.
struct slot_status {
    std::array<char, task_name_size> name;  // the task the counts belong to
    std::int32_t configured_mode;           // its mode when the turn began
    std::uint32_t starts;                   // since the supervisor started
    moment since;                           // start of the latest child
    bool started_this_turn;
    // The slot's child has ended and waits for its reap (one per pass):
    // its end is already in last_exit.
    bool end_seen;
    exit_record last_exit;
    std::uint32_t same_exits;  // latest ends in a row that ended as last_exit
    std::uint32_t short_runs;  // latest ends in a row with code 0 within a pass of the start
    marker_path marker;        // the marker holding it back, empty when none
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

// The writes of one file that publishes the status: a change not yet in
// it, and a failed write, said once and retried status_retry_seconds later.
struct published_file {
    bool pending;          // a change not yet in the file
    bool failing;          // the latest write failed
    std::time_t retry_at;  // boot clock: no new try before this
    bool failure_told;     // this run of failures has been reported
};

struct supervisor_status {
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
    int kill_error;        // kill_by_name_error of the latest turn
    bool kill_error_told;  // said on standard error since it last worked
    std::array<slot_status, task_slot_count> slots;
    bool changed;  // something changed since publish_status last ran
    published_file status_file;
    bool file_current;  // the file at status_path is the latest document written
    // The metrics file fails and is retried on its own.
    published_file metrics_file;
};

extern supervisor_status current_status;

// A write that failed is tried again at the first pass this much later.
inline constexpr std::time_t status_retry_seconds = 30;

// Forgets everything: this process, started now, no turn yet.
void reset_status();

void status_turn_begins();
// After the configuration step: its verdict, and what kill-by-name met
// (a killall that cannot be run is said once on standard error).
void status_configuration(bool usable, const config_problem& problem);
void status_started(std::size_t slot);
// The slot's child was reaped with the waitpid status word.
void status_ended(std::size_t slot, int wait_status);
// The supervisor killed the slot's child: a child that had already ended
// on its own keeps its own end.
void status_killed(std::size_t slot);
// The task in slot 0 ended (status_ended has recorded it): what was done.
void status_updater_ended(const char* then);
// The start gate's answer for a due slot: the marker's path, or "".
void status_gate(std::size_t slot, const marker_path& marker);

// The slot's state as both files name it: running, exited, ended, off,
// held_back or waiting.
const char* state_text(const task_info& task, const slot_status& s);

// Looks, without reaping, at every running child whose end is not known
// yet, and records the end of those that have ended.
void note_ended_children();

// Whether the file has a change to write, and no failed write waits for
// its retry.  The boot clock is read only while a write is failing, so an
// idle pass costs a test of one flag.
bool write_due(const published_file& file);
// After a write of the file at path: a failed one removes the file (what it
// says is no longer true), waits status_retry_seconds for its retry and is
// said once per run of failures, as "cannot write the <what> file".
void note_write(published_file& file, bool written, const char* what, const char* path, int error,
                std::time_t boot);

// Writes the status file, and the metrics file when one is asked for, when
// something changed since each was last written.  A failed write removes
// the old file (it no longer tells the truth), is said once on standard
// error, and is tried again at the first pass status_retry_seconds later,
// until it succeeds; each file fails and is retried on its own.
void publish_status();

// Sets the file's modification time to the boot clock, at every pass and
// before the wait after an unusable configuration: the reader's proof that
// the supervisor still goes round.  One system call, no allocation.
void mark_status_current();

// The document as it would be written now (caller frees it with free()),
// or nullptr when it cannot be built.
char* status_document();

}  // namespace vorn
