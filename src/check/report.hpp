// vorn_restart_check: the configuration checker for the operator at a shell.
//
// It runs the same configuration step as a turn of the supervisor (table,
// built-in tasks, configuration file) with every action on processes,
// descriptors and files disabled, and reports what the next turn would
// start, or why it would start nothing.
#pragma once

#include "base/system_ops.hpp"
#include "tasks/config.hpp"

namespace vorn {

enum class executable_state { yes, missing, directory, not_regular, not_executable, unknown };

// Whether execvp could run the file at path, as far as its metadata tells.
executable_state examine_executable(const char* path);

// ops with every action that changes something (processes, descriptors,
// kill-by-name, renaming, sleeping) replaced by one that does nothing;
// reading the file and looking at paths stay as they are.  Its kill-by-name
// records the names instead (kill_listing.hpp).
system_ops inert(const system_ops& ops);

// Runs the configuration step of a turn (configuration file: `config_file`,
// or the one in config_path when it is nullptr) under the inert table, with
// the names it kills by name recorded afresh.  True when it is usable.
bool configure_inert(const char* config_file, config_problem* problem);

// The two lines that tell why the configuration in `file` is unusable.
void print_config_problem(const char* file, const config_problem& problem);

// Runs configure_inert, then prints the report on standard output, ending
// with a line that counts the tasks to be started that cannot be (their
// executables missing or not ones) when there are any, and what the next
// turn kills by name.  Returns
// check_exit_usable or check_exit_unusable: a usable file is usable even
// when its tasks' executables are not there yet.
int check_configuration(const char* config_file);

}  // namespace vorn
