// vorn_restart_check --status: the running supervisor as the status file it
// publishes at status_path tells it, checked against what the system shows
// now, for the operator and for an init script's status action.
#pragma once

#include <ctime>

#include "supervise/cycle.hpp"

namespace vorn {

// At most this many bytes of the status file are read; a larger file is
// refused, not trusted.
inline constexpr unsigned long status_read_limit = 131072;

// The longest wait of the supervisor (after an unusable configuration)
// plus two passes: a status file whose pass mark is older than this tells
// of a supervisor that no longer goes round.
inline constexpr std::time_t status_stale_seconds = unusable_config_seconds + 2 * pass_seconds;
static_assert(status_stale_seconds == 40);

// Reads the status file (never through a link; only one owned by root or
// by the user running the checker, that no one else can write), checks
// that the supervisor that wrote it is alive (its pid, start time and
// owner), that it still goes round (the file's pass mark), and that every
// child it calls running is one.  Then prints on standard output what it
// runs and why what should run does not, then what the next turn kills by
// name (by `config_file`, else by the configuration file of the checker's
// own --install_path: never a path named in the file).  With `json`,
// standard output gets the file exactly as read and nothing else; why
// there is no live supervisor goes to standard error.  Returns
// status_exit_running, _degraded, _absent or _unknown.
int report_status(const char* config_file, bool json);

// --log: the last `lines` lines of task `name`'s log (task_log.hpp), in
// the directory of --log_path, else in the one the status file of a live
// supervisor names (after the checks of report_status).  Returns
// status_exit_running (printed), _degraded (no such log, or no logs kept),
// _absent (no --log_path and no live supervisor) or _unknown.
int report_log(const char* name, unsigned lines);

}  // namespace vorn
