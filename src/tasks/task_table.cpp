// The task table and its built-in tasks (see task_table.hpp).
#include "tasks/task_table.hpp"

#include <array>  // std::size; <iterator> would bring the streams along
#include <cstdio>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

std::array<task_info, task_slot_count> task_table{};
std::int32_t task_info_size = 0;

std::size_t argument_count(const task_info& task) {
    std::size_t n = 0;
    while (n < task_argument_count && !is_empty(task.task_argument[n])) ++n;
    return n;
}

int slot_of_child(pid_t pid) {
    if (pid <= 0) return -1;
    for (std::size_t i = 0; i < task_slot_count; ++i)
        if (task_table[i].task_pid == pid) return static_cast<int>(i);
    return -1;
}

const char* mode_name(std::int32_t mode) {
    switch (mode) {
        case mode_none: return "none";
        case mode_once: return "once";
        default: return "always";
    }
}

int kill_by_name_error = 0;

void clear_task_table() {
    task_table.fill(empty_task);
    task_info_size = 0;
    kill_by_name_error = 0;
}

void kill_stale_copies(const char* const* names, std::size_t count, kill_output output) {
    const int error = sys.kill_by_name(names, count, output);
    if (error != 0) kill_by_name_error = error;
}

namespace {

constexpr char updater_name[] = "vorn_update";
constexpr char monitor_name[] = "vorn_monitor";

// The built-in names and their paths fit their fields, whatever sbin_path holds.
static_assert(sizeof(updater_name) <= task_name_size && sizeof(monitor_name) <= task_name_size);
static_assert(setting_size - 1 + sizeof(monitor_name) <= task_path_size &&
              setting_size - 1 + sizeof(updater_name) <= task_path_size);

void add_builtin_task(task_info& slot, const char* name) {
    task_info task = empty_task;
    format_text(task.task_path.data(), task.task_path.size(), "%s%s", sbin_path.data(), name);
    task.task_system = 1;
    task.task_mode = mode_always;
    task.task_pid = 0;
    copy_text(task.task_name, name);
    slot = task;
    ++task_info_size;
}

}  // namespace

void add_builtin_tasks(bool kill_stale) {
    // Stale copies of both, in one kill-by-name run.
    const char* const names[] = {updater_name, monitor_name};
    if (kill_stale) kill_stale_copies(names, std::size(names), kill_output::silent);
    add_builtin_task(task_table[0], updater_name);
    add_builtin_task(task_table[1], monitor_name);
}

void forget_child(pid_t pid) {
    for (task_info& task : task_table) {
        if (task.task_pid == pid) task.task_pid = 0;
        if (task.task_mode == mode_once) task.task_mode = mode_none;
    }
}

void write_field_raw(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void dump_task_table(int stdout_stderr_fd, field_writer write_field) {
    std::printf("task_info_size: %d\n\n", task_info_size);
    std::printf("stdout_stderr_fd: %d\n\n", stdout_stderr_fd);
    for (std::int32_t i = 0; i < task_info_size && i < static_cast<std::int32_t>(task_slot_count);
         ++i) {
        const task_info& task = task_table[static_cast<std::size_t>(i)];
        std::printf(
            "task_info.task_system: %d, task_info.task_mode: %d, task_info.task_pid: %d, "
            "task_info.task_name: ",
            task.task_system, task.task_mode, task.task_pid);
        write_field(text_view(task.task_name));
        std::fputs(", task_info.task_path: ", stdout);
        write_field(text_view(task.task_path));
        std::fputs("\nargument: ", stdout);
        for (std::size_t k = 0; k < argument_count(task); ++k) {
            write_field(text_view(task.task_argument[k]));
            std::fputs(" ", stdout);
        }
        std::fputs("\n", stdout);
    }
    std::fputs("#################################################\n", stdout);
}

}  // namespace vorn
