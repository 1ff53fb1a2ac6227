// Starting one task as a child process.
#pragma once

#include <array>
#include <cstddef>
#include <sys/types.h>

#include "supervise/child_setup.hpp"
#include "supervise/task_log.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// argv[0], up to 8 task arguments, the two setting arguments, nullptr.
inline constexpr std::size_t child_argv_size = 1 + task_argument_count + 2 + 1;
using child_argv = std::array<char*, child_argv_size>;

// Fills argv for the task: its path, its arguments, "--install_path=..."
// and, when a cache directory is set, "--cache_path=...".  The setting
// arguments live in process-wide buffers, so argv stays valid until the
// next call.  Returns the number of entries before the terminating nullptr.
std::size_t build_child_argv(const task_info& task, child_argv& argv);

// Whether children give up the supervisor's own OOM protection (set at
// start-up once the supervisor has taken it): each then sets its OOM score
// to 0, or to its task's own, before it executes its program.
extern bool children_reset_oom_score;

// The inherited environment with the task's variables added, replacing
// those of the same names, in process-wide storage (valid until the next
// call): HOME, USER and LOGNAME of the user a task with "user" runs as
// (its entry's home and name; "/" and the number for a number without an
// entry), PWD of its "directory", then its "environment", which wins over
// those.  nullptr for a task that adds none, which keeps the environment
// as it is.  *fits is false when more than child_environment_max variables
// are inherited: the child then fails its environment step rather than run
// without some of them.
inline constexpr std::size_t child_environment_max = 512;
char* const* build_child_environment(const task_settings* settings, bool* fits);

// In the child: executes the task as it is, without settings (see launch_child).
[[noreturn]] void exec_task(const task_info& task, char* const argv[], int report_fd = -1);

// In the child: takes the plan's steps (joining the task's cgroup first,
// when it has one to join) and executes the program with envp (nullptr:
// the environment as it is).  Returns only when a step or the exec
// failed: which one.
start_failure run_child(const task_info& task, char* const argv[], char* const envp[],
                        const child_plan& plan);

// In the child: run_child, and when it fails, says why on standard error,
// writes the start_failure on report_fd (when not -1) and ends with
// status 255.  Never returns.
[[noreturn]] void launch_child(const task_info& task, char* const argv[], char* const envp[],
                               const child_plan& plan, int report_fd);

// In the child: writes the start line to the log (with the child's pid)
// and puts the log on standard output and error.  Async-signal-safe.
void use_child_log(const child_log& log);

// Forks a child that executes the task with its settings, writing to the
// slot's log when logs are in use, started in the task's cgroup
// (unit_cgroups.hpp) where the kernel can, else joining it first of all;
// a child that cannot execute the task writes its start_failure to
// report_fd (the write end of sys.open_exec_report's pipe) when that is
// not -1.  A task with settings or a cgroup to join, started without
// report_fd, gets one of its own, kept for the slot (start_report.hpp).
// Returns the child's pid, or -1 with errno set when fork fails.
pid_t start_task(std::size_t slot, int report_fd = -1);

}  // namespace vorn
