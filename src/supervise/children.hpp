// The children's process descriptors: every child the supervisor starts is
// held by a descriptor that the kernel makes readable when it ends, so
// that the one wait sees each end as it happens.  The end is recorded then
// (its status read without reaping it); the reap and the start again stay
// where the cycle has them.  Where the kernel has no such descriptor, no
// child is held and the ends are looked for at every pass.
#pragma once

#include <array>
#include <cstddef>
#include <poll.h>
#include <sys/types.h>

#include "tasks/task_table.hpp"

namespace vorn {

// The slots' children, the ones a reload is ending and the ones killed at
// the end of a turn that are not reaped yet.
inline constexpr std::size_t child_handle_count = 4 * task_slot_count;

struct child_handle {
    pid_t pid;  // 0: a free row
    int fd;
    bool end_noted;  // its end is known: out of the wait until its reap
};

struct child_handles_state {
    std::array<child_handle, child_handle_count> rows;
    std::size_t top;     // rows [top, end) are free
    std::size_t held;    // rows in use
    bool unavailable;    // the kernel has no process descriptors
    std::size_t unheld;  // children not reaped yet that no row holds
};

extern child_handles_state child_handles;

// Nothing held; descriptors are left as they are.
void reset_child_handles();

// After a fork: holds the child pid by its descriptor.
void hold_child(pid_t pid);

// After the reap of pid (whoever reaped it): its descriptor is closed.
void release_child(pid_t pid);

// Whether an end may wait for its reap: one was noted and not reaped, or
// some child is not held (its end is seen only by looking).
bool ends_may_wait();

// Whether the child's end is known through its descriptor; false for a
// child that is not held.
bool child_end_noted(pid_t pid);

// Whether ends are seen as they happen: some child is held, every one is.
bool children_held();

// The descriptors of the children whose end is not known yet, from
// fds[0]: their count (at most cap).
std::size_t child_wait_sources(struct pollfd* fds, std::size_t cap);

// After the wait, with the descriptors child_wait_sources gave: each end
// is noted, and that of a slot's child recorded (status and log) at once.
// True when an end was recorded.
bool note_child_ends(const struct pollfd* fds, std::size_t count);

// At the end of a pass: every running child whose end is not known yet is
// looked at (only those no descriptor holds, without reaping them); the
// ends found are recorded, and the others count as seen running.
void note_ended_children();

}  // namespace vorn
