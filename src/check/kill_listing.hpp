// What the next turn kills by name.  A turn runs `killall -9 -- <name>`
// for every built-in and configured task name, and that reaches every
// process on the machine with the name, not only the supervisor's own
// children: the checker lists the processes each name reaches right now,
// and warns about those the supervisor did not start.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "base/process_names.hpp"
#include "base/system_ops.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// The built-in names and one per slot of the table.
inline constexpr std::size_t kill_names_max = 2 + task_slot_count;

// Forgets the names recorded so far.
void forget_kill_names();

// A kill_by_name for the inert table: records the names (each once, in the
// order first met) and kills nothing.
int record_kill_by_name(const char* const* names, std::size_t count, kill_output output);

std::size_t kill_name_count();
const char* kill_name(std::size_t index);

// Prints, for every recorded name, the processes a kill by that name would
// reach now (the checker itself left out): pid, executable, parent.  The
// supervisor is `supervisor` when it is above 0, otherwise every process
// that a kill by the name "vorn_restart" would reach; a process that is in
// none of a supervisor's units (neither in the cgroup of one of its tasks
// nor below it as a descendant) is marked and gets a warning line.
void print_kill_listing(pid_t supervisor);

// /proc/<pid>/stat (process_names.hpp): state 0 when the process is gone.
process_stat read_process_stat(pid_t pid);

enum class process_kind { supervisor, ended, other };

// What pid is now, by /proc/<pid>/comm, cmdline and stat: a live process
// that a kill by the name "vorn_restart" reaches, one that has ended (gone,
// or a zombie), or another program.  Its process name goes into comm[size]
// ("" when it is gone).
process_kind examine_process(pid_t pid, char* comm, std::size_t size);

// Whether a kill by the name "vorn_restart" reaches pid by its names alone,
// live or ended: the cheap first sift of a search for the supervisor (its
// stat is not read).
bool named_as_supervisor(pid_t pid);

// The processes running now, in a fixed list kept until the next call:
// their count, or -1 with errno set when they cannot be listed.
long list_processes_now(const pid_t** pids);

// The owner of a live process (the owner of /proc/<pid>); false when it
// cannot be told.
bool process_owner(pid_t pid, uid_t* owner);

}  // namespace vorn
