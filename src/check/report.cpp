// The configuration check: the configuration step run inert, and its report
// (see report.hpp).
#include "check/report.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/kill_listing.hpp"
#include "check/shell_quote.hpp"
#include "supervise/launch.hpp"
#include "supervise/start_gate.hpp"
#include "tasks/config.hpp"
#include "tasks/task_keys.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

// A path of 255 bytes, eight arguments of 63 and the two setting
// arguments, every byte escaped, with the spaces between them.
constexpr std::size_t command_text_size =
    escaped_size(task_path_size - 1) + task_argument_count * escaped_size(task_argument_size - 1) +
    2 * escaped_size(sizeof("--install_path=") + setting_size) + child_argv_size;
std::array<char, command_text_size> command_text{};

pid_t refuse_fork() {
    errno = EPERM;
    return -1;
}
pid_t reap_nothing(int*) {
    errno = ECHILD;
    return -1;
}
int refuse_kill(pid_t) {
    errno = EPERM;
    return -1;
}
int skip_wait(struct pollfd*, std::size_t, long long) { return 0; }
int refuse_open() {
    errno = EPERM;
    return -1;
}
void skip_descriptor(int) {}
int refuse_rename(const char*, const char*) {
    errno = EPERM;
    return -1;
}
void skip_standard_descriptors() {}
int refuse_replace(const char*, const char*, std::size_t, std::time_t) {
    errno = EPERM;
    return -1;
}
int refuse_stamp(const char*, std::time_t) {
    errno = EPERM;
    return -1;
}
int refuse_remove(const char*) {
    errno = EPERM;
    return -1;
}

void print_executable(const char* path) {
    const char* why = nullptr;
    switch (examine_executable(path)) {
        case executable_state::yes: std::puts("  executable: yes"); return;
        case executable_state::missing: why = "does not exist"; break;
        case executable_state::directory: why = "is a directory"; break;
        case executable_state::not_regular: why = "is not a regular file"; break;
        case executable_state::not_executable: why = "is not executable"; break;
        case executable_state::unknown:
            std::printf("  executable: unknown, %s: %s\n", shown(path), std::strerror(errno));
            return;
    }
    std::printf("  executable: no, %s %s\n", shown(path), why);
}

void print_markers(const task_info& task) {
    const task_markers markers = markers_of(task);
    if (const marker_ref* marker = holding_marker(markers)) {
        std::printf("  held back: yes, by %s\n", shown(marker->path.data()));
        return;
    }
    if (markers.count == 0) {
        std::puts("  held back: no (no marker applies)");
        return;
    }
    std::fputs("  held back: no (markers:", stdout);
    for (std::size_t i = 0; i < markers.count; ++i)
        std::printf(" %s", shown(markers.marker[i].path.data()));
    std::fputs(")\n", stdout);
}

// An empty argument ends the list a task is started with: it and the
// arguments after it are not passed.
void print_cut_arguments(std::size_t slot, const task_info& task) {
    const std::size_t passed = argument_count(task);
    const std::size_t given = configured_arguments[slot];
    if (given <= passed) return;
    child_argv dropped{};
    for (std::size_t k = passed; k < given; ++k)
        dropped[k - passed] = const_cast<char*>(task.task_argument[k].data());
    if (!format_command_line(command_text.data(), command_text.size(), dropped, given - passed))
        copy_text(command_text, "(too long to show)");
    std::printf(
        "warning: tasks[%zu] (\"%s\"): \"argument\" element %zu is empty and ends the "
        "arguments; not passed: %s\n",
        slot, shown(task.task_name.data()), passed, command_text.data());
}

// Each key of a task entry that is no key of one: ignored, with the known
// key it is nearest; or, near one of the keys from "user" on, refusing its
// task (a fault).
void print_unknown_keys(const char* config_file) {
    config_problem unread;
    const json_document document = load_config(&unread, config_file);
    const json_t* tasks = json_object_get(document.get(), "tasks");
    for (std::size_t i = 0; i < json_array_size(tasks) && i < task_slot_count; ++i) {
        const char* key = nullptr;
        const json_t* value = nullptr;
        json_object_foreach(json_array_get(tasks, i), key, value) {
            const key_verdict verdict = judge_task_key(key);
            if (verdict.known) continue;
            const char* name = shown(task_table[i].task_name.data());
            const char* nearest = task_entry_keys[verdict.nearest];
            if (verdict.refused)
                std::printf(
                    "fault: tasks[%zu] (\"%s\"): \"%s\" is no key of a task entry: did you mean "
                    "\"%s\"? The task is refused\n",
                    i, name, shown(key), nearest);
            else
                std::printf(
                    "warning: tasks[%zu] (\"%s\"): \"%s\" is no key of a task entry and is "
                    "ignored; the nearest is \"%s\"\n",
                    i, name, shown(key), nearest);
        }
    }
}

void print_identity(const task_settings& s) {
    if (!s.identity) return;
    std::printf("  runs as: user %s (uid %u, gid %u, groups", shown(s.user_name.data()),
                static_cast<unsigned>(s.uid), static_cast<unsigned>(s.gid));
    for (std::size_t i = 0; i < s.group_count; ++i)
        std::printf(" %u", static_cast<unsigned>(s.groups[i]));
    std::puts(")");
}

void print_limits(const task_settings& s) {
    if (s.limits_set == 0 && !s.nice_set && !s.oom_score_set) return;
    const char* separator = "  limits: ";
    for (std::size_t i = 0; i < task_limit_count; ++i) {
        if ((s.limits_set & (1U << i)) == 0) continue;
        if (s.limits[i] == limit_unlimited)
            std::printf("%s%s unlimited", separator, task_limit_names[i]);
        else
            std::printf("%s%s %llu", separator, task_limit_names[i],
                        static_cast<unsigned long long>(s.limits[i]));
        separator = ", ";
    }
    if (s.nice_set) std::printf("%snice %d", separator, s.nice);
    if (s.nice_set) separator = ", ";
    if (s.oom_score_set) std::printf("%soom_score_adjust %d", separator, s.oom_score_adjust);
    std::puts("");
}

void print_environment(const task_settings& s) {
    if (!s.directory.empty() && s.directory[0] != '\0')
        std::printf("  directory: %s\n", shown(s.directory.data()));
    if (s.variable_count == 0) return;
    std::fputs("  environment:", stdout);
    for (std::size_t i = 0; i < s.variable_count; ++i)
        std::printf(" %s", shown(s.variables[i].data()));
    std::puts("");
}

void print_privileges(const task_settings& s) {
    if (s.no_new_privileges) std::puts("  no_new_privileges: yes");
    if (!s.capabilities_set) return;
    std::fputs("  capabilities:", stdout);
    if (s.capabilities == 0) std::fputs(" none", stdout);
    for (std::size_t n = 0; n < capability_count; ++n)
        if ((s.capabilities & (std::uint64_t{1} << n)) != 0) std::printf(" %s", capability_name(n));
    std::puts("");
}

// Who the task runs as and with what, or why it never runs.
void print_settings(std::size_t slot) {
    const task_settings* settings = settings_of(slot);
    if (!settings) return;
    if (const char* reason = nullptr; task_refused(slot, &reason)) {
        std::printf("  refused: %s (never started)\n", shown(reason));
        return;
    }
    print_identity(*settings);
    print_limits(*settings);
    print_environment(*settings);
    print_privileges(*settings);
}

void print_slot(std::size_t slot, const task_info& task) {
    if (task.task_mode == mode_none) {
        if (task.task_name[0] != '\0')
            std::printf("slot %zu: %s, mode none: never started\n", slot,
                        shown(task.task_name.data()));
        if (task.task_name[0] != '\0') print_settings(slot);
        return;
    }
    std::printf("slot %zu: %s, mode %s, system %d\n", slot, shown(task.task_name.data()),
                mode_name(task.task_mode), task.task_system);
    child_argv argv{};
    const std::size_t count = build_child_argv(task, argv);
    if (format_command_line(command_text.data(), command_text.size(), argv, count))
        std::printf("  command line: %s\n", command_text.data());
    else
        std::puts("  command line: (too long to show)");
    print_settings(slot);
    print_executable(task.task_path.data());
    print_markers(task);
}

// One line when some tasks are refused: the file is usable for the others,
// but these never run.  Whether there were any.
bool print_refused() {
    std::size_t refused = 0, named = 0;
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        named += task_table[i].task_name[0] != '\0' ? 1 : 0;
        refused += task_refused(i) ? 1 : 0;
    }
    if (refused == 0) return false;
    std::printf("%zu of %zu tasks are refused and never start:", refused, named);
    const char* separator = " ";
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const char* reason = nullptr;
        if (!task_refused(i, &reason)) continue;
        std::printf("%s%s (%s)", separator, shown(task_table[i].task_name.data()), shown(reason));
        separator = ", ";
    }
    std::puts("");
    return true;
}

void print_pending_update() {
    update_path target{}, pending{};
    format_update_paths(target, pending);
    if (!sys.path_exists(pending.data())) return;
    std::printf("pending updater: %s replaces ", shown(pending.data()));
    std::printf("%s when the supervisor starts\n", shown(target.data()));
}

void write_shown(std::string_view text) { std::fputs(shown(text), stdout); }

// Why a task cannot start, by the state of its executable; a state not here
// (yes, unknown) does not say that it cannot.
struct unstartable_row {
    executable_state state;
    const char* text;  // after "their executables are"
};
constexpr std::array<unstartable_row, 4> unstartable_rows{{
    {executable_state::missing, "missing"},
    {executable_state::directory, "directories"},
    {executable_state::not_regular, "not regular files"},
    {executable_state::not_executable, "not executable"},
}};

bool cannot_start(executable_state state) {
    for (const unstartable_row& row : unstartable_rows)
        if (row.state == state) return true;
    return false;
}

// One line, only when a task a turn would start cannot be: how many of the
// tasks, and their executables by what is wrong with them.  A file usable
// as a whole still starts nothing for them.
void print_unstartable() {
    std::array<executable_state, task_slot_count> states{};
    std::size_t started = 0, failing = 0;
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        if (task_table[i].task_mode == mode_none) continue;
        ++started;
        states[i] = examine_executable(task_table[i].task_path.data());
        failing += cannot_start(states[i]) ? 1 : 0;
    }
    if (failing == 0) return;
    std::printf("%zu of %zu tasks cannot start: their executables are", failing, started);
    bool first_group = true;
    for (const unstartable_row& row : unstartable_rows) {
        bool first_path = true;
        for (std::size_t i = 0; i < task_slot_count; ++i) {
            if (task_table[i].task_mode == mode_none || states[i] != row.state) continue;
            if (first_path) std::printf("%s%s (", first_group ? " " : "), ", row.text);
            std::printf("%s%s", first_path ? "" : ", ", shown(task_table[i].task_path.data()));
            first_path = first_group = false;
        }
    }
    std::puts(")");
}

}  // namespace

system_ops inert(const system_ops& ops) {
    system_ops result = ops;
    result.fork_process = refuse_fork;
    result.reap_any = reap_nothing;
    result.kill_process = refuse_kill;
    result.wait_for = skip_wait;
    result.open_null_device = refuse_open;
    result.redirect_output = skip_descriptor;
    result.close_descriptor = skip_descriptor;
    result.kill_by_name = record_kill_by_name;
    result.rename_path = refuse_rename;
    result.open_standard_descriptors = skip_standard_descriptors;
    result.replace_file = refuse_replace;
    result.stamp_file = refuse_stamp;
    result.remove_file = refuse_remove;
    return result;
}

executable_state examine_executable(const char* path) {
    struct stat info {};
    if (sys.stat_path(path, &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? executable_state::missing
                                                   : executable_state::unknown;
    if (S_ISDIR(info.st_mode)) return executable_state::directory;
    if (!S_ISREG(info.st_mode)) return executable_state::not_regular;
    if (!sys.path_executable(path)) return executable_state::not_executable;
    return executable_state::yes;
}

void print_config_problem(const char* file, const config_problem& problem) {
    std::printf("%s: unusable, no task would be started\n", shown(file));
    if (problem.task_index < 0)
        std::printf("%s\n", shown(problem.text.data()));
    else if (problem.task_name[0] != '\0')
        std::printf("tasks[%d] (\"%s\"): %s\n", problem.task_index, shown(problem.task_name.data()),
                    shown(problem.text.data()));
    else
        std::printf("tasks[%d]: %s\n", problem.task_index, shown(problem.text.data()));
}

bool configure_inert(const char* config_file, config_problem* problem) {
    const system_ops saved = sys;
    sys = inert(saved);
    forget_kill_names();
    clear_task_table();
    add_builtin_tasks();
    const bool usable = apply_config(problem, config_file);
    sys = saved;
    return usable;
}

int check_configuration(const char* config_file) {
    const char* file = config_file ? config_file : config_file_path();
    config_problem problem;
    if (!configure_inert(config_file, &problem)) {
        print_config_problem(file, problem);
        print_kill_listing(0);
        return check_exit_unusable;
    }

    std::printf("%s: usable\n", shown(file));
    if (check_line.ignored_cache_path)
        std::printf("cache_path: %s does not exist: ignored, as the supervisor ignores it\n",
                    shown(check_line.ignored_cache_path));
    for (std::size_t i = 0; i < task_slot_count; ++i) print_cut_arguments(i, task_table[i]);
    print_unknown_keys(config_file);
    dump_task_table(0, write_shown);
    // The slots a start pass would start, in its order: those not in mode none.
    for (std::size_t i = 0; i < task_slot_count; ++i) print_slot(i, task_table[i]);
    print_pending_update();
    print_unstartable();
    const bool refused = print_refused();
    print_kill_listing(0);
    return refused ? check_exit_unusable : check_exit_usable;
}

}  // namespace vorn
