// libFuzzer target for the configuration step: arbitrary bytes as the
// content of the configuration file, through parsing and the filling of the
// task table, with the table's invariants checked after every input.
//
// The file is read and stale copies are killed through the `sys` table, so
// the fuzzer hands the input over as the file and only records the names it
// would have killed: no killall, no fork, no file is ever touched.
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "tasks/config.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace {

using namespace vorn;

static_assert(task_slot_count == 16, "the table has 16 slots");

const std::uint8_t* input_data = nullptr;
std::size_t input_size = 0;
bool recording = false;           // true during the configuration step
std::vector<std::string> killed;  // names killed by the configuration step

[[noreturn]] void fail(const char* what, int slot) {
    std::fprintf(stderr, "invariant broken: %s (slot %d)\n", what, slot);
    std::abort();
}

void check(bool holds, const char* what, int slot = -1) {
    if (!holds) fail(what, slot);
}

long fuzz_read_file(const char*, char* buf, std::size_t cap) {
    const std::size_t n = input_size < cap ? input_size : cap;
    if (n > 0) std::memcpy(buf, input_data, n);
    return static_cast<long>(n);
}

int fuzz_kill_by_name(const char* const* names, std::size_t count, kill_output) {
    for (std::size_t i = 0; recording && i < count; ++i) killed.emplace_back(names[i]);
    return 0;
}

// The configuration step has no business with processes, sleeping or
// markers: any such call is a fault.
pid_t no_fork() { fail("fork during the configuration step", -1); }
pid_t no_reap(int*) { fail("waitpid during the configuration step", -1); }
int no_kill(pid_t) { fail("kill during the configuration step", -1); }
int no_wait(struct pollfd*, std::size_t, long long) {
    fail("a wait during the configuration step", -1);
}
int no_open() { fail("open during the configuration step", -1); }
void no_redirect(int) { fail("dup2 during the configuration step", -1); }
void no_close(int) { fail("close during the configuration step", -1); }
bool no_exists(const char*) { fail("marker check during the configuration step", -1); }
int no_stat(const char*, struct stat*) { fail("stat during the configuration step", -1); }
bool no_executable(const char*) { fail("access during the configuration step", -1); }
int no_rename(const char*, const char*) { fail("rename during the configuration step", -1); }
void no_standard_descriptors() { fail("opening descriptors during the configuration step", -1); }

// Users and groups: "root" (0) and "www" (33, also in group 4) have
// entries, and groups 0, 4 and 33; "broken" cannot be looked up.
int fuzz_find_user(const char* name, uid_t* uid, gid_t* gid) {
    const std::string_view text(name);
    if (text == "broken") return errno = EIO, -1;
    if (text != "root" && text != "www") return 0;
    *uid = *gid = text == "root" ? 0 : 33;
    return 1;
}
int fuzz_find_user_id(uid_t uid, char* name, std::size_t cap, gid_t* gid) {
    if ((uid != 0 && uid != 33) || cap < 5) return 0;
    std::strcpy(name, uid == 0 ? "root" : "www");
    *gid = uid;
    return 1;
}
int fuzz_find_user_home(const char* name, char* home, std::size_t cap) {
    if (cap < 9) return errno = ENAMETOOLONG, -1;
    std::strcpy(home, std::string_view(name) == "root" ? "/root" : "/var/www");
    return 1;
}
int fuzz_find_group(const char* name, gid_t* gid) {
    const std::string_view text(name);
    if (text != "adm" && text != "www") return 0;
    *gid = text == "adm" ? 4 : 33;
    return 1;
}
int fuzz_find_group_id(gid_t gid) { return gid == 0 || gid == 4 || gid == 33 ? 1 : 0; }
long fuzz_user_groups(const char*, gid_t primary, gid_t* groups, std::size_t cap) {
    if (cap > 0) groups[0] = primary;
    if (cap > 1) groups[1] = 4;
    return primary == 4 ? 1 : 2;
}

template <std::size_t N>
bool terminated(const std::array<char, N>& field) {
    return std::memchr(field.data(), '\0', N) != nullptr;
}

template <std::size_t N>
bool all_zero(const std::array<char, N>& field) {
    for (char c : field)
        if (c != '\0') return false;
    return true;
}

bool slot_is_empty(const task_info& t) {
    if (t.task_mode != 0 || t.task_system != 0 || t.task_pid != 0) return false;
    if (!all_zero(t.task_name) || !all_zero(t.task_path)) return false;
    for (const auto& argument : t.task_argument)
        if (!all_zero(argument)) return false;
    return true;
}

void check_builtin(int i, const char* name) {
    const task_info& t = task_table[static_cast<std::size_t>(i)];
    check(text_view(t.task_name) == name, "built-in task replaced without a configured one", i);
    check(t.task_mode == mode_always && t.task_system == 1, "built-in task changed", i);
    check(text_view(t.task_path) == std::string(sbin_path.data()) + name, "built-in path", i);
}

void check_table(bool usable, const config_problem& problem) {
    const int configured = static_cast<int>(killed.size());
    check(configured <= static_cast<int>(task_slot_count), "more names killed than slots");
    check(task_info_size >= 2 && task_info_size <= 18, "task_info_size outside 2..18");
    check(task_info_size == 2 + configured, "task_info_size differs from the tasks written");

    for (int i = 0; i < static_cast<int>(task_slot_count); ++i) {
        const task_info& t = task_table[static_cast<std::size_t>(i)];
        check(terminated(t.task_name), "task_name not NUL-terminated", i);
        check(terminated(t.task_path), "task_path not NUL-terminated", i);
        for (const auto& argument : t.task_argument)
            check(terminated(argument), "task_argument not NUL-terminated", i);
        check(t.task_mode >= 0 && t.task_mode <= 2, "task_mode outside 0..2", i);
        check(t.task_pid == 0, "task_pid set by the configuration step", i);

        if (i < configured) {
            // Each name killed is the name of the slot written right after.
            const std::string_view name = text_view(t.task_name);
            check(name == killed[static_cast<std::size_t>(i)], "killed name not in its slot", i);
            check(!name.empty() && name.find('/') == std::string_view::npos, "bad task_name", i);
            check(text_view(t.task_path) == std::string(sbin_path.data()) + std::string(name),
                  "task_path is not sbin_path + task_name", i);
        } else if (i == 0) {
            check_builtin(0, "vorn_update");
        } else if (i == 1) {
            check_builtin(1, "vorn_monitor");
        } else {
            check(slot_is_empty(t), "slot past the configured tasks written", i);
        }
    }

    // The keys as written are found wherever the parser found them: no
    // refusal ends so (a key of the file may hold the words elsewhere).
    constexpr std::string_view unchecked = " could not be checked for repeats";
    for (int i = 0; i < static_cast<int>(task_slot_count); ++i) {
        const char* reason = nullptr;
        if (!task_refused(static_cast<std::size_t>(i), &reason)) continue;
        const std::string_view text(reason);
        check(text.size() < unchecked.size() ||
                  text.substr(text.size() - unchecked.size()) != unchecked,
              "an entry's keys not found in its text", i);
    }

    if (!usable) {
        check(terminated(problem.text) && problem.text[0] != '\0',
              "unusable without a description");
        check(problem.task_index >= -1 && problem.task_index <= static_cast<int>(task_slot_count),
              "problem names no task");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    reset_settings();
    // The longest directory a setting holds: the paths in the slots come
    // as close to their size as they can.
    std::string sbin(setting_size - 2, 's');
    sbin[0] = '/';
    sbin += '/';
    copy_text(sbin_path, sbin);
    sys = {.fork_process = no_fork,
           .reap_any = no_reap,
           .kill_process = no_kill,
           .wait_for = no_wait,
           .open_null_device = no_open,
           .redirect_output = no_redirect,
           .close_descriptor = no_close,
           .kill_by_name = fuzz_kill_by_name,
           .read_file = fuzz_read_file,
           .path_exists = no_exists,
           .stat_path = no_stat,
           .path_executable = no_executable,
           .rename_path = no_rename,
           .open_standard_descriptors = no_standard_descriptors,
           .find_user = fuzz_find_user,
           .find_user_id = fuzz_find_user_id,
           .find_user_home = fuzz_find_user_home,
           .find_group = fuzz_find_group,
           .find_group_id = fuzz_find_group_id,
           .user_groups = fuzz_user_groups};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input_data = data;
    input_size = size;
    killed.clear();
    // What a turn does before its configuration step.
    clear_task_table();
    add_builtin_tasks();
    recording = true;
    config_problem problem;
    const bool usable = apply_config(&problem);
    recording = false;
    check_table(usable, problem);
    return 0;
}
