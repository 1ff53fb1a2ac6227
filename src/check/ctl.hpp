// vorn_restart_ctl: the operator's commands to a running supervisor
// (restart, stop, start, signal, reload), sent over its control channel
// (base/control.hpp) once the status file has named a live supervisor.
#pragma once

namespace vorn {

// The whole program: its exit status (control_done and the others of
// base/control.hpp, or usage_exit_status for a mistyped command line).
int run_ctl(int argc, char* argv[]);

}  // namespace vorn
