// Not-run markers: files under /tmp that keep tasks from being started.
#pragma once

#include <array>
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

inline constexpr std::size_t marker_path_size = 512;

// One marker file that can hold a task back: the name the not-run line
// shows (the task's own name or a variant) and the file's path.
struct marker_ref {
    const char* name;  // points into the task or into cp_markers
    std::array<char, marker_path_size> path;
};

// The markers of one task, in the order they are looked at: its own
// marker (only when its system is 0), then the variant marker of its first
// argument that names one.  At most one of each.
struct task_markers {
    std::size_t count;
    std::array<marker_ref, 2> marker;
};

// Formats "/tmp/.<name>.nr" into buf[size]; false when it does not fit.
bool format_marker_path(char* buf, std::size_t size, const char* name);

// Lists the markers that apply to the task; looks at no file.  The result
// refers to the task's name and is valid while the task is.
task_markers markers_of(const task_info& task);

// The first of the task's markers present right now, or nullptr when none
// holds it back.  Anything at the path counts; a path that cannot be
// examined does not.  Prints nothing.
const marker_ref* holding_marker(const task_markers& markers);

using marker_path = std::array<char, marker_path_size>;

// True when a marker holds the task back; prints "<name> not run: <path>".
// The marker's path goes to *holding when asked for (emptied when free).
bool held_back(const task_info& task, marker_path* holding = nullptr);

}  // namespace vorn
