// The task table: the supervisor's whole picture of what it runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

#include "base/system_ops.hpp"

namespace vorn {

inline constexpr std::size_t task_slot_count = 16;
inline constexpr std::size_t task_argument_count = 8;
inline constexpr std::size_t task_name_size = 64;
inline constexpr std::size_t task_path_size = 256;
inline constexpr std::size_t task_argument_size = 64;

enum task_mode_value : std::int32_t {
    mode_none = 0,    // never start
    mode_once = 1,    // start, never start again
    mode_always = 2,  // start, and start again whenever not running
};

struct task_info {
    std::int32_t task_mode;
    std::int32_t task_system;  // non-zero: own marker ignored; 1: killed on updater exit 1
    std::int32_t task_pid;     // running child, 0 when none
    std::array<char, task_name_size> task_name;
    std::array<char, task_path_size> task_path;
    std::array<std::array<char, task_argument_size>, task_argument_count> task_argument;
};

inline constexpr task_info empty_task{};

extern std::array<task_info, task_slot_count> task_table;
// Entries written during the current turn, the built-in ones included.
extern std::int32_t task_info_size;

// The mode as the configuration file writes it: "none", "once", "always".
const char* mode_name(std::int32_t mode);

// Number of leading non-empty arguments of a slot (at most 8).
std::size_t argument_count(const task_info& task);

// Index of the slot whose running child is pid, or -1.
int slot_of_child(pid_t pid);

// Clears every slot, and what the kill-by-name runs of the turn met.
void clear_task_table();

// The error number of a kill-by-name run of this turn that could not be
// started (no killall to run), 0 while every run has started.
extern int kill_by_name_error;

// Kills stale copies of the named tasks (sys.kill_by_name) and keeps what
// that met in kill_by_name_error.
void kill_stale_copies(const char* const* names, std::size_t count, kill_output output);

// The updater in slot 0 and the monitor in slot 1, after killing stale
// copies of both by name.
void add_builtin_tasks(bool kill_stale = true);

// Bookkeeping after the child pid has been reaped: its slot no longer has a
// running child, and every `once` slot becomes `none`.
void forget_child(pid_t pid);

// How the dump writes the text fields of a slot (name, path, arguments) to
// standard output.
using field_writer = void (*)(std::string_view text);

// Writes a field as it is.
void write_field_raw(std::string_view text);

// Prints task_info_size, the null-device descriptor and the slots in use.
void dump_task_table(int stdout_stderr_fd, field_writer write_field = write_field_raw);

}  // namespace vorn
