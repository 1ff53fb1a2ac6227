// Not-run markers: files under /tmp that keep tasks from being started.
#pragma once

#include <cstddef>

#include "tasks/task_table.hpp"

namespace vorn {

// An argument that points a task at a variant marker.
struct cp_marker {
    const char* argument;
    const char* variant;
};

inline constexpr std::size_t cp_marker_count = 12;
extern const cp_marker cp_markers[cp_marker_count];

// Formats "/tmp/.<name>.nr" into buf[size]; false when it does not fit.
bool format_marker_path(char* buf, std::size_t size, const char* name);

// True when a marker holds the task back; prints "<name> not run: <path>".
bool held_back(const task_info& task);

}  // namespace vorn
