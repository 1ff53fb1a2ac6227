// A task's processes as one unit, as both programs look at it: the task's
// own cgroup (version 2) when the supervisor made one, else the main
// process and its descendants as /proc shows them at the moment.
//
// Every file read here (/proc/self/mountinfo, /proc/<pid>/cgroup,
// cgroup.procs, cpu.stat, memory.current, /proc/<pid>/stat and statm)
// could hold anything: each number is taken only within its range, and a
// file that cannot be read or parsed counts as telling nothing.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace vorn {

inline constexpr std::size_t cgroup_path_size = 256;
using cgroup_path = std::array<char, cgroup_path_size>;

// The processes of one unit looked at, at most; a unit of more is ended
// and measured by its first ones (a cgroup is ended whole by cgroup.kill).
inline constexpr std::size_t unit_process_max = 128;
// The kernel's largest pid (PID_MAX_LIMIT).
inline constexpr long long pid_limit = 4194304;

// The mount point of the cgroup2 file system in a mountinfo text; false
// when none is mounted (or its path does not fit out[cap]).
bool parse_cgroup2_mount(std::string_view mountinfo, char* out, std::size_t cap);
// The version-2 path ("/system.slice/x") of a /proc/<pid>/cgroup text, its
// "0::" line; false when there is none, or it is no absolute path.
bool parse_v2_cgroup(std::string_view text, char* out, std::size_t cap);
// The pids of a cgroup.procs text, one a line, each within 2..pid_limit:
// the count kept, at most cap (other lines are passed over).
std::size_t parse_pid_list(std::string_view text, pid_t* pids, std::size_t cap);
// usage_usec of a cpu.stat text; false when it is missing or out of range.
bool parse_cpu_usage(std::string_view text, unsigned long long* usec);
// The single number of a file such as memory.current; false for anything else.
bool parse_single_number(std::string_view text, unsigned long long* value);
// From /proc/<pid>/stat: the parent, start time and utime + stime (in
// clock ticks); false when it is no stat line.
struct process_times {
    pid_t parent;
    unsigned long long start_ticks;
    unsigned long long cpu_ticks;
};
bool parse_process_times(std::string_view text, process_times* out);
// The resident pages of a /proc/<pid>/statm text (its second number).
bool parse_resident_pages(std::string_view text, unsigned long long* pages);

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

// A process of a unit, named for good by its pid and start time.
struct unit_member {
    pid_t pid;
    unsigned long long start_ticks;
};

// The processes in the cgroup at dir (its cgroup.procs): the count, or -1
// when it cannot be read.
long cgroup_members(const char* dir, unit_member* out, std::size_t cap);
// The descendants of root (not root itself) as /proc shows them now, found
// by their parents: the count kept.  Those of `known` are taken as roots
// too (and are not listed again), so that a second look finds what they
// forked meanwhile.
std::size_t process_descendants(pid_t root, const unit_member* known, std::size_t known_count,
                                unit_member* out, std::size_t cap);
// The processes of the cgroup at dir that are neither main (0: none) nor
// its descendants: left there by earlier runs.  The count, or -1 when
// cgroup.procs cannot be read.
long cgroup_leftovers(const char* dir, pid_t main, unit_member* out, std::size_t cap);
// What /proc/<pid>/stat tells of the process now.
bool read_process_times(pid_t pid, process_times* times);
// Whether the process pid still is the one started at start_ticks.
bool same_process(pid_t pid, unsigned long long start_ticks);

// What a unit uses: CPU time in microseconds and memory in bytes.
struct unit_usage {
    bool cpu_known;
    unsigned long long cpu_usec;
    bool memory_known;
    unsigned long long memory_bytes;
};
// Of a cgroup: cpu.stat and memory.current where present, else summed over
// its processes from /proc.
unit_usage cgroup_usage(const char* dir);
// Summed over the processes from /proc.
unit_usage processes_usage(const unit_member* members, std::size_t count);

// Of the process main and its descendants, summed from /proc; nothing is
// known when main cannot be seen.
unit_usage process_tree_usage(pid_t main);

// The process name of pid (/proc/<pid>/comm, without its newline), "?"
// when it cannot be read.
void process_name(pid_t pid, char* out, std::size_t cap);

}  // namespace vorn
