// The status file: what the supervisor is doing, for whoever asks.
//
// The cycle tells this module of every change it makes (a turn begins, the
// configuration is read, a task starts, ends or is killed, a marker begins
// or stops holding a slot back, the updater ends), and publish_status()
// writes the whole picture as one JSON document to status_path, by way of
// a temporary file renamed over the old one.  A pass in which nothing
// changed writes nothing and allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "supervise/start_gate.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

inline constexpr int status_format = 1;

// How a child ended, as the status file shows it.
enum class exit_kind : std::uint8_t { none, code, signal };

struct exit_record {
    exit_kind kind;
    std::int32_t value;  // exit code or signal number
    std::time_t at;      // 0 while kind is none
};

// What is known of one slot beyond the task table, kept across turns as
// long as the slot holds a task of the same name.
struct slot_status {
    std::array<char, task_name_size> name;  // the task the counts belong to
    std::int32_t configured_mode;           // its mode when the turn began
    std::uint32_t starts;                   // since the supervisor started
    std::time_t since;                      // start of the running child, 0 when none
    bool started_this_turn;
    exit_record last_exit;
    std::uint32_t same_exits;  // latest ends in a row that ended as last_exit
    std::uint32_t short_runs;  // latest ends in a row with code 0 within a pass of the start
    marker_path marker;        // the marker holding it back, empty when none
};

struct supervisor_status {
    pid_t pid;
    std::time_t started;
    std::uint32_t turn;
    std::time_t turn_started;
    bool configuration_read;  // false until the first configuration step
    bool usable;
    std::array<char, 640> problem;
    exit_record updater_exit;
    const char* updater_then;  // what the supervisor did about it, nullptr before
    std::array<slot_status, task_slot_count> slots;
    bool changed;       // something to publish
    bool given_up;      // the last write failed: none until the next turn
    bool failure_told;  // that failure has been reported
};

extern supervisor_status current_status;

// A run that ends within this many seconds of its start (by the clock at
// the reap, which comes at most one pass after the end) counts as short.
inline constexpr std::time_t short_run_seconds = 6;

// Forgets everything: this process, started now, no turn yet.
void reset_status();

void status_turn_begins();
void status_configuration(bool usable, const config_problem& problem);
void status_started(std::size_t slot);
// The slot's child ended with the waitpid status word.
void status_ended(std::size_t slot, int wait_status);
// The supervisor killed the slot's child.
void status_killed(std::size_t slot);
void status_updater_ended(int wait_status, const char* then);
// The start gate's answer for a due slot: the marker's path, or "".
void status_gate(std::size_t slot, const marker_path& marker);

// Writes the status file when something changed since the last write.
// A file that cannot be written is reported once on standard error and not
// tried again before the next turn; supervision goes on without it.
void publish_status();

// The document as it would be written now (caller frees it with free()),
// or nullptr when it cannot be built.
char* status_document();

}  // namespace vorn
