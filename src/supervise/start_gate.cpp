// Not-run markers that keep tasks from being started (see start_gate.hpp).
#include "supervise/start_gate.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

namespace {

constexpr char marker_prefix[] = "/tmp/.";
constexpr char marker_suffix[] = ".nr";

}  // namespace

constexpr cp_marker cp_markers[cp_marker_count] = {
    {"--cp=0", "vorn_update_c0"}, {"--cp=1", "vorn_update_c1"},   {"--cp=2", "vorn_update_c2"},
    {"--cp=3", "vorn_update_c3"}, {"--cp=4", "vorn_update_c4"},   {"--cp=5", "vorn_update_c5"},
    {"--cp=6", "vorn_update_c6"}, {"--cp=7", "vorn_update_c7"},   {"--cp=8", "vorn_update_c8"},
    {"--cp=9", "vorn_update_c9"}, {"--cp=10", "vorn_update_c10"}, {"--cp=11", "vorn_update"},
};

namespace {

const cp_marker* cp_marker_for(const char* argument) {
    for (const cp_marker& row : cp_markers)
        if (std::strcmp(row.argument, argument) == 0) return &row;
    return nullptr;
}

constexpr bool variants_fit_task_names() {
    for (const cp_marker& row : cp_markers)
        if (std::string_view(row.variant).size() >= task_name_size) return false;
    return true;
}

// A task name, and every variant name, makes a marker path that fits.
static_assert(variants_fit_task_names());
static_assert(sizeof(marker_prefix) - 1 + task_name_size - 1 + sizeof(marker_suffix) <=
              marker_path_size);

void add_marker(task_markers& markers, const char* name) {
    marker_ref& ref = markers.marker[markers.count++];
    ref.name = name;
    format_marker_path(ref.path.data(), ref.path.size(), name);
}

}  // namespace

bool format_marker_path(char* buf, std::size_t size, const char* name) {
    return format_text(buf, size, "%s%s%s", marker_prefix, name, marker_suffix);
}

task_markers markers_of(const task_info& task) {
    task_markers markers{};
    if (task.task_system == 0) add_marker(markers, task.task_name.data());
    // The first argument naming a variant decides, whether or not its
    // marker is there.
    for (std::size_t k = 0; k < argument_count(task); ++k)
        if (const cp_marker* row = cp_marker_for(task.task_argument[k].data())) {
            add_marker(markers, row->variant);
            break;
        }
    return markers;
}

const marker_ref* holding_marker(const task_markers& markers) {
    for (std::size_t i = 0; i < markers.count; ++i)
        if (sys.path_exists(markers.marker[i].path.data())) return &markers.marker[i];
    return nullptr;
}

bool held_back(const task_info& task, marker_path* holding) {
    const task_markers markers = markers_of(task);
    const marker_ref* marker = holding_marker(markers);
    if (!marker) {
        if (holding) (*holding)[0] = '\0';
        return false;
    }
    if (holding) *holding = marker->path;
    std::printf("%s not run: %s\n", marker->name, marker->path.data());
    return true;
}

}  // namespace vorn
