// The logs the supervisor keeps of its tasks' output, as the checker reads
// them: <dir><name>.log and its older generation <dir><name>.log.1, both
// written by the task, so believed only as far as their owner and mode go.
// The directory is opened never through a link and both it and the files
// (read relative to it) are judged by the supervisor's rule, base/log_trust.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <sys/types.h>

#include "base/settings.hpp"
#include "check/shell_quote.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// At most this many bytes are read of each generation: the last ones.
inline constexpr std::size_t log_read_limit = 262144;
inline constexpr unsigned default_log_lines = 20;
inline constexpr unsigned max_log_lines = 10000;
// Lines of a task's log shown under its line in the status report, and
// the bytes of each shown before it is cut.
inline constexpr std::size_t status_log_lines = 5;
inline constexpr std::size_t status_log_width = 200;

// Where the logs are: dir ends in '/'.  The directory and a log file are
// believed when root, the user running the checker or `owner` owns them,
// neither their group nor others may write them, and a file has one name.
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

// A log file's path, and why one was refused.
using log_file_path = std::array<char, setting_size + task_name_size + sizeof(".log.1")>;
using log_refusal_text = std::array<char, 2 * escaped_size(sizeof(log_file_path)) + 128>;

// The end of a task's log as --status shows it: why each generation was
// refused, then its last lines, escaped, each cut at status_log_width
// bytes (" [cut]" then follows).
struct status_log_tail {
    std::size_t note_count;
    std::array<log_refusal_text, 2> notes;
    std::size_t line_count;
    std::array<std::array<char, escaped_size(status_log_width) + 8>, status_log_lines> lines;
};

// --status: the end of the task's log into *tail; nothing when there is
// no log.
void read_status_log_tail(const log_place& place, std::string_view name, status_log_tail* tail);

}  // namespace vorn
