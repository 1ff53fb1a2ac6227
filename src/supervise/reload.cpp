// The configuration applied as a difference (see reload.hpp).
#include "supervise/reload.hpp"

#include <csignal>
#include <cstring>

#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/record.hpp"
#include "tasks/config.hpp"

namespace vorn {

namespace {

struct old_table {
    std::array<task_info, task_slot_count> tasks;
    std::int32_t size;
    std::array<std::size_t, task_slot_count> arguments;
};

old_table saved{};

bool same_entry(const task_info& a, const task_info& b) {
    return a.task_mode == b.task_mode && a.task_system == b.task_system &&
           a.task_name == b.task_name && a.task_path == b.task_path &&
           a.task_argument == b.task_argument;
}

bool named_in(const std::array<task_info, task_slot_count>& table, const char* name) {
    if (name[0] == '\0') return false;
    for (const task_info& t : table)
        if (std::strcmp(t.task_name.data(), name) == 0) return true;
    return false;
}

template <std::size_t N>
void add_name(std::array<char, N>& list, const char* name) {
    const std::size_t used = std::strlen(list.data());
    format_text(list.data() + used, N - used, "%s%s", used > 0 ? " " : "", name);
}

// The lists of names, and the old children of the slots that change.
void compare(reload_result& result) {
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const task_info& old = saved.tasks[i];
        task_info& now = task_table[i];
        const char* name = now.task_name.data();
        if (name[0] != '\0' && same_entry(old, now)) {
            now.task_pid = old.task_pid;
            add_name(result.kept, name);
            continue;
        }
        if (name[0] != '\0')
            add_name(named_in(saved.tasks, name) ? result.restarted : result.started, name);
        if (old.task_name[0] != '\0' && !named_in(task_table, old.task_name.data()))
            add_name(result.stopped, old.task_name.data());
        if (old.task_pid == 0) continue;
        result.ending[i] = old.task_pid;
        // The same task in the same slot: no other copy until this one ends.
        if (old.task_name == now.task_name) {
            now.task_pid = old.task_pid;
            result.start_after[i] = true;
        }
    }
}

// Stale copies of the names that were not in the table, in one run.
void kill_new_names() {
    std::array<const char*, task_slot_count> names{};
    std::size_t count = 0;
    for (const task_info& t : task_table)
        if (t.task_name[0] != '\0' && !named_in(saved.tasks, t.task_name.data()))
            names[count++] = t.task_name.data();
    if (count > 0) kill_stale_copies(names.data(), count, kill_output::stderr_kept);
}

}  // namespace

bool begin_reload(reload_result& result) {
    result = reload_result{};
    saved = {task_table, task_info_size, configured_arguments};
    config_problem problem;
    if (!read_config_tasks(&problem)) {
        if (!format_config_problem(result.problem.data(), result.problem.size(), problem))
            copy_text(result.problem, problem.text.data());
        task_table = saved.tasks;
        task_info_size = saved.size;
        configured_arguments = saved.arguments;
        return false;
    }
    compare(result);
    kill_new_names();
    record_reloaded(saved.tasks);
    for (std::size_t i = 0; i < task_slot_count; ++i)
        if (result.ending[i] != 0) sys.send_signal(result.ending[i], SIGTERM);
    return true;
}

}  // namespace vorn
