// The children's process descriptors (see children.hpp).
#include "supervise/children.hpp"

#include <cerrno>

#include "base/system_ops.hpp"
#include "supervise/record.hpp"

namespace vorn {

child_handles_state child_handles{};

namespace {

child_handle* row_of(pid_t pid) {
    for (std::size_t i = 0; i < child_handles.top; ++i)
        if (child_handles.rows[i].pid == pid) return &child_handles.rows[i];
    return nullptr;
}

child_handle* free_row_for_use() {
    for (child_handle& row : child_handles.rows)
        if (row.pid == 0) return &row;
    return nullptr;
}

void free_row(child_handle& row) {
    sys.close_descriptor(row.fd);
    row = child_handle{0, -1, false};
    --child_handles.held;
    while (child_handles.top > 0 && child_handles.rows[child_handles.top - 1].pid == 0)
        --child_handles.top;
}

}  // namespace

void reset_child_handles() {
    child_handles.rows.fill(child_handle{0, -1, false});
    child_handles.top = 0;
    child_handles.held = 0;
    child_handles.unavailable = false;
    child_handles.unheld = 0;
}

void hold_child(pid_t pid) {
    if (pid <= 0) return;
    // A row left for this pid (a reap not told): the pid is another child now.
    if (child_handle* stale = row_of(pid)) free_row(*stale);
    child_handle* row = child_handles.unavailable ? nullptr : free_row_for_use();
    const int fd = row != nullptr ? sys.open_process_handle(pid) : -1;
    if (fd < 0) {
        if (row != nullptr && (errno == ENOSYS || errno == EPERM)) child_handles.unavailable = true;
        ++child_handles.unheld;
        return;
    }
    *row = child_handle{pid, fd, false};
    ++child_handles.held;
    const auto index = static_cast<std::size_t>(row - child_handles.rows.data());
    if (index >= child_handles.top) child_handles.top = index + 1;
}

void release_child(pid_t pid) {
    if (pid <= 0) return;
    if (child_handle* row = row_of(pid)) {
        free_row(*row);
        return;
    }
    if (child_handles.unheld > 0) --child_handles.unheld;
}

bool ends_may_wait() {
    if (child_handles.unheld > 0) return true;
    for (std::size_t i = 0; i < child_handles.top; ++i)
        if (child_handles.rows[i].pid != 0 && child_handles.rows[i].end_noted) return true;
    return false;
}

bool child_end_noted(pid_t pid) {
    const child_handle* row = pid > 0 ? row_of(pid) : nullptr;
    return row != nullptr && row->end_noted;
}

bool children_held() {
    return !child_handles.unavailable && child_handles.unheld == 0 && child_handles.held > 0;
}

std::size_t child_wait_sources(struct pollfd* fds, std::size_t cap) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < child_handles.top && n < cap; ++i) {
        const child_handle& row = child_handles.rows[i];
        if (row.pid != 0 && !row.end_noted) fds[n++] = {row.fd, POLLIN, 0};
    }
    return n;
}

bool note_child_ends(const struct pollfd* fds, std::size_t count) {
    bool recorded = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        for (std::size_t r = 0; r < child_handles.top; ++r) {
            child_handle& row = child_handles.rows[r];
            if (row.pid == 0 || row.fd != fds[i].fd || row.end_noted) continue;
            int wait_status = 0;
            const int ended = sys.handle_ended(row.fd, &wait_status);
            if (ended == 0) break;  // readable, yet running: looked at again
            row.end_noted = true;
            const int slot = slot_of_child(row.pid);
            if (ended == 1 && slot >= 0)
                recorded |= record_end_seen(static_cast<std::size_t>(slot), wait_status);
            break;
        }
    }
    return recorded;
}

void note_ended_children() {
    // Every child held: each end came through the wait, and a child whose
    // end is not known runs.  Unrolled: an idle pass only reads two fields
    // of each slot.
    if (children_held()) {
#pragma GCC unroll 16
        for (std::size_t i = 0; i < task_slot_count; ++i)
            if (task_table[i].task_pid != 0 && !current_record.slots[i].end_seen)
                record_seen_running(i);
        return;
    }
#pragma GCC unroll 16
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const pid_t pid = task_table[i].task_pid;
        if (pid == 0 || current_record.slots[i].end_seen) continue;
        const child_handle* row = child_handles.held != 0 ? row_of(pid) : nullptr;
        int wait_status = 0;
        const int ended =
            row != nullptr ? (row->end_noted ? -1 : 0) : sys.child_ended(pid, &wait_status);
        if (ended == 0) record_seen_running(i);
        if (ended == 1) record_end_seen(i, wait_status);
    }
}

}  // namespace vorn
