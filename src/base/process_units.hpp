// A task's processes as one unit, as both programs look at it: the task's
// own cgroup (version 2) when the supervisor made one, else the main
// process and its descendants as /proc shows them at the moment.
//
// The task cgroups of a supervisor lie in a container of its own making
// below its own cgroup, <own>/vorn_restart.tasks/<name>, and the supervisor
// itself moves into the leaf <own>/vorn_restart.supervisor.
//
// Every file read here (/proc/self/mountinfo, /proc/<pid>/cgroup,
// cgroup.procs, cgroup.stat, cpu.stat, memory.current, /proc/<pid>/stat and
// smaps_rollup) could hold anything: each number is taken only within its
// range, and a file that cannot be read or parsed counts as telling
// nothing.  No fixed bound limits the processes of a unit that are looked
// at: their lists are kept in scratch pages (scratch.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <sys/types.h>

#include "base/process_table.hpp"
#include "base/scratch.hpp"

namespace vorn {

inline constexpr std::size_t cgroup_path_size = 256;
using cgroup_path = std::array<char, cgroup_path_size>;

// The two cgroups a supervisor makes in its own.
inline constexpr char task_container_name[] = "vorn_restart.tasks";
inline constexpr char supervisor_leaf_name[] = "vorn_restart.supervisor";

// The mount point of the cgroup2 file system in a mountinfo text; false
// when none is mounted (or its path does not fit out[cap]).
bool parse_cgroup2_mount(std::string_view mountinfo, char* out, std::size_t cap);
// The version-2 path ("/system.slice/x") of a /proc/<pid>/cgroup text, its
// "0::" line; false when there is none, or it is no absolute path.
bool parse_v2_cgroup(std::string_view text, char* out, std::size_t cap);

// Reads a list of pids, one a line (cgroup.procs), handed over in pieces
// that may cut a line anywhere: every pid within 2..pid_limit is added to
// *pids, other lines are passed over.  `failed` once no memory can be had.
struct pid_list_reader {
    scratch_list<pid_t>* pids;
    unsigned long long value;
    bool digits;  // the line so far is digits
    bool spoilt;  // the line holds something else
    bool failed;
};
// A piece: false once reading should stop (no memory).
bool read_pid_piece(pid_list_reader& reader, std::string_view piece);
// The last line, when the text does not end with a newline.
void end_pid_list(pid_list_reader& reader);

// usage_usec of a cpu.stat text; false when it is missing or out of range.
bool parse_cpu_usage(std::string_view text, unsigned long long* usec);
// The single number of a file such as memory.current; false for anything else.
bool parse_single_number(std::string_view text, unsigned long long* value);
// The value of a "key number" line of a text such as cgroup.stat.
bool parse_keyed_number(std::string_view text, std::string_view key, unsigned long long* value);
// The proportional set size of a /proc/<pid>/smaps_rollup text, in bytes.
bool parse_pss(std::string_view text, unsigned long long* bytes);

// Whether a task's name can name its cgroup: not ".", "..", nor a name the
// kernel's own files use ("cgroup.*", "cpu.*", ...: anything with a dot
// before a known controller prefix is refused, as is any name with a dot
// at its start).
bool cgroup_name_usable(std::string_view name);
// Whether path is a cgroup below mount: an absolute path that begins with
// mount and a '/', and holds no ".." or "." component.
bool cgroup_below(std::string_view path, std::string_view mount);

// Through the system seam.  The cgroup2 mount of this system.
bool find_cgroup2_mount(cgroup_path& mount);
// The version-2 cgroup of this process, as an absolute path below mount.
bool find_own_cgroup(const char* mount, cgroup_path& dir);
// The version-2 cgroup of the process pid now, as an absolute path below
// mount; false when it cannot be told.
bool process_cgroup(pid_t pid, const char* mount, cgroup_path& dir);
// Whether the process pid is in the cgroup at dir, or in one below it, now.
bool process_in_cgroup(pid_t pid, const char* mount, std::string_view dir);
// The container of the task cgroups of the supervisor pid, told by its
// cgroup: beside its leaf, or in its cgroup when it could not move into one.
bool supervisor_container(pid_t supervisor, const char* mount, cgroup_path& container);
// Whether path, as a status file names it, is the cgroup of the task
// `name` in the container of the supervisor pid (this system's cgroup2
// mount found first): dir then holds it.  Nothing else is ever opened.
bool task_cgroup_proven(std::string_view path, std::string_view name, pid_t supervisor,
                        cgroup_path& dir);

// The processes of the cgroup at dir and of the cgroups below it, however
// many, into out: its cgroup.procs read in pieces, or, when it has cgroups
// below it, every process of /proc whose cgroup lies there.  False when
// they cannot be read.
bool cgroup_processes(const char* mount, const char* dir, scratch_list<pid_t>& out);
// The processes of the cgroup that started before main (each of them when
// main is 0 or gone): left there by earlier runs, not by the child that
// runs now.  Their count, the first cap of them into out; -1 when the
// cgroup cannot be read.
long cgroup_leftovers(const char* mount, const char* dir, pid_t main, unit_member* out,
                      std::size_t cap);

// What a unit uses: CPU time in microseconds and memory in bytes.
struct unit_usage {
    bool cpu_known;
    unsigned long long cpu_usec;
    bool memory_known;
    unsigned long long memory_bytes;
};
// Of a cgroup: cpu.stat, and memory.current where present, else the
// proportional set size (Pss) summed over its processes.
unit_usage cgroup_usage(const char* mount, const char* dir);
// Of the process main and its descendants in the table: their CPU time
// with what each has reaped of its children's, and their summed Pss.
// Nothing is known when main is not in the table.
unit_usage process_tree_usage(const process_snapshot& table, pid_t main);
// The same from a look at /proc of its own.
unit_usage process_tree_usage(pid_t main);

// The process name of pid (/proc/<pid>/comm, without its newline), "?"
// when it cannot be read.
void process_name(pid_t pid, char* out, std::size_t cap);

}  // namespace vorn
