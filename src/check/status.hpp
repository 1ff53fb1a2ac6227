// vorn_restart_check --status: the running supervisor as the status file it
// publishes at status_path tells it, for the operator and for an init
// script's status action.
#pragma once

namespace vorn {

// At most this many bytes of the status file are read; a larger file is
// refused, not trusted.
inline constexpr unsigned long status_read_limit = 131072;

// Reads the status file, checks that the supervisor that wrote it is alive
// and is vorn_restart, and prints on standard output what it runs and why a
// task that should run does not, then what the next turn kills by name
// (by `config_file`, else the configuration the live supervisor reads).
// With `json`, standard output gets the file exactly as read and nothing
// else; why there is no live supervisor goes to standard error.  Returns
// status_exit_running, status_exit_degraded or status_exit_absent.
int report_status(const char* config_file, bool json);

}  // namespace vorn
