// vorn_restart_check as a whole: the command line, then the configuration
// check (report.hpp), --status or --log (status.hpp).
#pragma once

namespace vorn {

// Returns the exit status.
int run_check(int argc, char* argv[]);

}  // namespace vorn
