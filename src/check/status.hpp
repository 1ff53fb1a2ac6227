// vorn_restart_check --status and --log: the running supervisor as the
// status file it publishes at status_path tells it, judged against what
// the system shows now (status_judge.hpp), for the operator, for scripts
// and for an init script's status action; and the logs of its tasks.
#pragma once

namespace vorn {

// Judges the status (status_judge.hpp) and prints it: as text on standard
// output, then what the next turn kills by name (by `config_file`, else by
// the configuration file of the checker's own --install_path: never a path
// named in the file); with `json`, the JSON view alone on standard output,
// and why there is no live supervisor on standard error too.  Returns
// status_exit_running, _degraded, _absent or _unknown.
int report_status(const char* config_file, bool json);

// --log: the last `lines` lines of task `name`'s log (task_log.hpp), in
// the directory of --log_path, else in the one the status file of a live
// supervisor names (after the checks of report_status).  Returns
// status_exit_running (printed), _degraded (no such log, or no logs kept),
// _absent (no --log_path and no live supervisor) or _unknown.
int report_log(const char* name, unsigned lines);

}  // namespace vorn
