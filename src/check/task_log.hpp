// The logs the supervisor keeps of its tasks' output, as the checker reads
// them: <dir><name>.log and its older generation <dir><name>.log.1, both
// written by the task, so believed only as far as their owner and mode go.
#pragma once

#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace vorn {

// At most this many bytes are read of each generation: the last ones.
inline constexpr std::size_t log_read_limit = 262144;
inline constexpr unsigned default_log_lines = 20;
inline constexpr unsigned max_log_lines = 10000;
// Lines of a task's log shown under its line in the status report, and
// the bytes of each shown before it is cut.
inline constexpr std::size_t status_log_lines = 5;
inline constexpr std::size_t status_log_width = 200;

// Where the logs are: dir ends in '/'.  A log file is believed when root,
// the user running the checker or `owner` owns it and neither its group
// nor others may write it.
struct log_place {
    const char* dir;
    uid_t owner;
};

// Why name cannot be the name of a task's log file (empty, ".", "..", a
// '/' or a NUL in it, longer than a task name), or nullptr when it can.
const char* log_name_fault(std::string_view name);

// Where the last `want` lines of text begin; *found: how many lines that
// is (fewer when text holds fewer).  A last line without a final newline
// is a line.
std::size_t last_lines_start(std::string_view text, std::size_t want, std::size_t* found);

// --log: the last `lines` lines of the task's log, both generations in
// order, raw on standard output; why a file is refused goes to standard
// error.  Returns status_exit_running (printed), _degraded (no log of that
// task) or _unknown (a log refused or unreadable, or standard output
// failed).
int print_task_log(const log_place& place, const char* name, unsigned lines);

// --status: the last lines of the task's log, escaped, cut at
// status_log_width bytes and indented; a line for each file refused;
// nothing when there is no log.
void print_status_log_tail(const log_place& place, std::string_view name);

}  // namespace vorn
