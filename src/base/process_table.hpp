// The process table as /proc shows it at one moment, with no fixed bound
// on the number of processes: the parent, start time and CPU time of each,
// in scratch pages that are given back once the look is over.  What a kill
// of a process tree or a reading of what the units use looks at, once for
// all the units that need it at that moment.
#pragma once

#include <cstddef>
#include <string_view>
#include <sys/types.h>

#include "base/scratch.hpp"

namespace vorn {

// The kernel's largest pid (PID_MAX_LIMIT).
inline constexpr long long pid_limit = 4194304;
// The largest number taken from any of the kernel's files: 2^60, far past
// what the kernel writes, so that sums over any number of processes cannot
// overflow.
inline constexpr unsigned long long kernel_number_limit = 1ULL << 60;

// The unsigned number that is the whole of word, at most
// kernel_number_limit; false for anything else.
bool parse_kernel_number(std::string_view word, unsigned long long* value);

// From /proc/<pid>/stat: the parent, start time, utime + stime and cutime
// + cstime (in clock ticks); false when it is no stat line.
struct process_times {
    pid_t parent;
    unsigned long long start_ticks;
    unsigned long long cpu_ticks;
    unsigned long long reaped_ticks;
};
bool parse_process_times(std::string_view text, process_times* out);
// What /proc/<pid>/stat tells of the process now.
bool read_process_times(pid_t pid, process_times* times);
// Whether the process pid still is the one started at start_ticks.
bool same_process(pid_t pid, unsigned long long start_ticks);

// The pids of every process /proc lists now, however many (listed again
// into more room while a listing fills the room it had): false when /proc
// cannot be listed or no memory can be had.
bool list_all_processes(scratch_list<pid_t>& pids);

struct process_entry {
    pid_t pid;
    pid_t parent;
    unsigned long long start_ticks;   // since boot, in clock ticks
    unsigned long long cpu_ticks;     // utime + stime
    unsigned long long reaped_ticks;  // cutime + cstime: its children reaped so far
};

// A process named for good by its pid and start time.
struct unit_member {
    pid_t pid;
    unsigned long long start_ticks;
};

class process_snapshot {
public:
    // Lists /proc and reads the stat of each process (one that ends
    // meanwhile is left out): false when /proc cannot be listed or no
    // memory can be had, and the snapshot is then empty.
    bool take();
    std::size_t size() const { return entries_.size(); }
    const process_entry& operator[](std::size_t i) const { return entries_[i]; }
    // The index of pid, or size() when it is not in the snapshot.
    std::size_t index_of(pid_t pid) const;
    // Whether pid is in the snapshot as the process started at start_ticks.
    bool holds(const unit_member& m) const;
    void release() { entries_.release(); }

private:
    scratch_list<process_entry> entries_;  // by pid
};

// The process trees grown from roots in the snapshot: for each process
// (by index), 0 for a root that is still the process it names, n for a
// process n parents below the nearest root, -1 for any other.  A parent
// counts only when it started no later than its child: a parent pid that
// came round again to a newer process is not the child's parent.  False
// when no memory can be had.
bool tree_depths(const process_snapshot& table, const unit_member* roots, std::size_t root_count,
                 scratch_list<int>& depths);

}  // namespace vorn
