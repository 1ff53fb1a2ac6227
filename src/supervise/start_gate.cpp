#include "supervise/start_gate.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "main/text.hpp"
#include "supervise/system_ops.hpp"

namespace vorn {

const cp_marker cp_markers[cp_marker_count] = {
    {"--cp=0", "vorn_update_c0"},   {"--cp=1", "vorn_update_c1"},
    {"--cp=2", "vorn_update_c2"},   {"--cp=3", "vorn_update_c3"},
    {"--cp=4", "vorn_update_c4"},   {"--cp=5", "vorn_update_c5"},
    {"--cp=6", "vorn_update_c6"},   {"--cp=7", "vorn_update_c7"},
    {"--cp=8", "vorn_update_c8"},   {"--cp=9", "vorn_update_c9"},
    {"--cp=10", "vorn_update_c10"}, {"--cp=11", "vorn_update"},
};

namespace {

// Looks for the marker of name; prints the not-run line when it is there.
// Anything at the path counts; a path that cannot be examined does not.
bool marker_present(const char* name) {
    std::array<char, 512> path{};
    if (!format_marker_path(path.data(), path.size(), name)) return false;
    if (!sys.path_exists(path.data())) return false;
    std::printf("%s not run: %s\n", name, path.data());
    return true;
}

const cp_marker* cp_marker_for(const char* argument) {
    for (const cp_marker& row : cp_markers)
        if (std::strcmp(row.argument, argument) == 0) return &row;
    return nullptr;
}

}  // namespace

bool format_marker_path(char* buf, std::size_t size, const char* name) {
    return format_text(buf, size, "/tmp/.%s.nr", name);
}

bool held_back(const task_info& task) {
    if (task.task_system == 0 && marker_present(task.task_name.data())) return true;
    // The first argument naming a variant decides, whether or not its
    // marker is there.
    for (std::size_t k = 0; k < argument_count(task); ++k)
        if (const cp_marker* row = cp_marker_for(task.task_argument[k].data()))
            return marker_present(row->variant);
    return false;
}

}  // namespace vorn
