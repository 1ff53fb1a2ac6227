// Starting one task as a child process.
#pragma once

#include <array>
#include <cstddef>
#include <sys/types.h>

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

// In the child: executes the task; if that fails, reports it on standard
// error (and its errno on report_fd, when that is not -1) and ends the
// child with status 255.  Never returns.
[[noreturn]] void exec_task(const task_info& task, char* const argv[], int report_fd = -1);

// In the child: writes the start line to the log (with the child's pid)
// and puts the log on standard output and error.  Async-signal-safe.
void use_child_log(const child_log& log);

// Forks a child that executes the task, writing to the slot's log when
// logs are in use; a child that cannot execute the task writes its errno
// to report_fd (the write end of sys.open_exec_report's pipe) when that
// is not -1.  Returns the child's pid, or -1 with errno set when fork
// fails.
pid_t start_task(std::size_t slot, int report_fd = -1);

}  // namespace vorn
