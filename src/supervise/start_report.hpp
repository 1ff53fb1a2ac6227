// The exec reports of the slots' latest children that were started with
// settings by a pass: the read end of each is kept for its slot until it
// tells, without waiting, either a failed step (a start_failure) or the end
// of the file (the program was executed).
#pragma once

#include <array>
#include <cstddef>

#include "supervise/child_setup.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// The slot's report from now on, fd (-1: none); an older one is closed.
void keep_start_report(std::size_t slot, int fd);

enum class start_news : std::uint8_t {
    none,      // no report kept, or nothing told yet
    failed,    // *failure holds the step that failed
    executed,  // the program was executed
};

// What the slot's report tells now, without waiting; the report is closed
// once it has told.
start_news take_start_report(std::size_t slot, start_failure* failure);

// After a reload: slot i takes the report of old slot from[i] (-1: none);
// the reports no slot takes are closed.
void move_start_reports(const std::array<int, task_slot_count>& from);

// Closes every report.
void close_start_reports();

}  // namespace vorn
