#include "main/check.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "main/settings.hpp"
#include "main/text.hpp"
#include "supervise/start_gate.hpp"
#include "supervise/system_ops.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

check_command check_line{};

namespace {

// Long enough for a path of 255 characters, eight arguments of 63 and the
// two setting arguments, even if every character needed quoting.
std::array<char, 8192> command_text{};

void record_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Keeps the first mistake only: like the supervisor, which ends at it.
void record_error(const char* format, ...) {
    if (check_line.request != check_request::check) return;
    check_line.request = check_request::usage_error;
    std::va_list args;
    va_start(args, format);
    if (!vformat_text(check_line.error.data(), check_line.error.size(), format, args))
        copy_text(check_line.error, "the command line cannot be used");
    va_end(args);
}

void ask_for_help(const char*) {
    if (check_line.request == check_request::check) check_line.request = check_request::help;
}

// getopt_long has already said what is wrong.
void note_option_error(const char*) { record_error("%s", ""); }

void check_install_path(const char* root) {
    switch (apply_install_path(root)) {
        case path_result::ok:
            return;
        case path_result::too_long:
            record_error("--install_path: value too long (at most %zu characters, not counting a "
                         "final /)",
                         install_path_max);
            return;
        case path_result::missing:
            break;
    }
    // The same directories, in the same order, as the supervisor checks.
    for (const setting_text* dir : {&install_path, &config_path, &sbin_path})
        if (::access(dir->data(), F_OK) != 0) {
            record_error("--install_path=%s: %s does not exist", root, dir->data());
            return;
        }
    record_error("--install_path=%s: a directory of the installation is missing", root);
}

void check_cache_path(const char* dir) {
    if (apply_cache_path(dir) == path_result::too_long) {
        record_error("--cache_path: value too long (at most %zu characters, not counting a final /)",
                     cache_path_max);
        return;
    }
    check_line.ignored_cache_path = ::access(dir, F_OK) == 0 ? nullptr : dir;
}

bool is_plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("@%+=:,./_-", c) != nullptr;
}

// Appends text to buf[size] at *used; false when it does not fit.
bool append(char* buf, std::size_t size, std::size_t* used, const char* text) {
    const std::size_t n = std::strlen(text);
    if (*used + n >= size) return false;
    std::memcpy(buf + *used, text, n + 1);
    *used += n;
    return true;
}

// Every action on processes and descriptors disabled; reading the file and
// looking at paths stay as they are.
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
void skip_pause(unsigned) {}
int refuse_open() {
    errno = EPERM;
    return -1;
}
void skip_descriptor(int) {}
void skip_kill_by_name(const char*, kill_output) {}

system_ops inert(const system_ops& ops) {
    system_ops result = ops;
    result.fork_process = refuse_fork;
    result.reap_any = reap_nothing;
    result.kill_process = refuse_kill;
    result.pause_seconds = skip_pause;
    result.open_null_device = refuse_open;
    result.redirect_output = skip_descriptor;
    result.close_descriptor = skip_descriptor;
    result.kill_by_name = skip_kill_by_name;
    return result;
}

const char* mode_name(std::int32_t mode) {
    switch (mode) {
        case mode_none: return "none";
        case mode_once: return "once";
        default: return "always";
    }
}

void print_problem(const char* file, const config_problem& problem) {
    std::printf("%s: unusable, no task would be started\n", file);
    if (problem.task_index < 0)
        std::printf("%s\n", problem.text.data());
    else if (problem.task_name[0] != '\0')
        std::printf("tasks[%d] (\"%s\"): %s\n", problem.task_index, problem.task_name.data(),
                    problem.text.data());
    else
        std::printf("tasks[%d]: %s\n", problem.task_index, problem.text.data());
}

void print_executable(const char* path) {
    const char* why = nullptr;
    switch (examine_executable(path)) {
        case executable_state::yes:
            std::puts("  executable: yes");
            return;
        case executable_state::missing: why = "does not exist"; break;
        case executable_state::directory: why = "is a directory"; break;
        case executable_state::not_regular: why = "is not a regular file"; break;
        case executable_state::not_executable: why = "is not executable"; break;
        case executable_state::unknown:
            std::printf("  executable: unknown, %s: %s\n", path, std::strerror(errno));
            return;
    }
    std::printf("  executable: no, %s %s\n", path, why);
}

void print_markers(const task_info& task) {
    const task_markers markers = markers_of(task);
    if (const marker_ref* marker = holding_marker(markers)) {
        std::printf("  held back: yes, by %s\n", marker->path.data());
        return;
    }
    if (markers.count == 0) {
        std::puts("  held back: no (no marker applies)");
        return;
    }
    std::fputs("  held back: no (markers:", stdout);
    for (std::size_t i = 0; i < markers.count; ++i)
        std::printf(" %s", markers.marker[i].path.data());
    std::fputs(")\n", stdout);
}

void print_slot(std::size_t slot, const task_info& task) {
    if (task.task_mode == mode_none) {
        if (task.task_name[0] != '\0')
            std::printf("slot %zu: %s, mode none: never started\n", slot, task.task_name.data());
        return;
    }
    std::printf("slot %zu: %s, mode %s, system %d\n", slot, task.task_name.data(),
                mode_name(task.task_mode), task.task_system);
    child_argv argv{};
    const std::size_t count = build_child_argv(task, argv);
    if (format_command_line(command_text.data(), command_text.size(), argv, count))
        std::printf("  command line: %s\n", command_text.data());
    else
        std::puts("  command line: (too long to show)");
    print_executable(task.task_path.data());
    print_markers(task);
}

void print_pending_update() {
    update_path target{}, pending{};
    if (!format_update_paths(target, pending) || !sys.path_exists(pending.data())) return;
    std::printf("pending updater: %s replaces %s when the supervisor starts\n", pending.data(),
                target.data());
}

}  // namespace

const option_row check_options[] = {
    {"h", false, ask_for_help},
    {"?", false, ask_for_help},
    {"d", false, nullptr},  // the supervisor's command line may be reused as it is
    {"help", false, ask_for_help},
    {"install_path", true, check_install_path},
    {"cache_path", true, check_cache_path},
};
const std::size_t check_option_count = sizeof(check_options) / sizeof(check_options[0]);

const char check_usage_text[] =
    "Usage: vorn_restart_check [-h] [--install_path=<root>] [--cache_path=<dir>] [<file>]\n";

const char check_help_text[] =
    "vorn_restart_check: checks the configuration of vorn_restart, starting and killing nothing\n"
    "Usage: vorn_restart_check [-h] [--install_path=<root>] [--cache_path=<dir>] [<file>]\n"
    "\n"
    "--install_path=<root>  installation root, as given to vorn_restart (default /)\n"
    "--cache_path=<dir>     cache directory, as given to vorn_restart\n"
    "<file>                 configuration file to check instead of\n"
    "                       <root>/etc/vorn/vorn_restart/vorn_restart.conf\n"
    "-h, -?, --help         this text\n"
    "\n"
    "Exit status: 0 usable, 1 unusable, 2 command line not usable.\n";

void read_check_command_line(int argc, char* argv[]) {
    check_line = check_command{};
    reset_settings();
    run_options(argc, argv, check_options, check_option_count, note_option_error);
    if (check_line.request != check_request::check) return;
    // getopt_long has moved the operands behind the options.
    if (optind < argc) check_line.config_file = argv[optind];
    if (argc - optind > 1) record_error("more than one configuration file given");
    normalise_settings();
}

bool quote_for_shell(char* buf, std::size_t size, const char* text) {
    std::size_t used = 0;
    if (size == 0) return false;
    buf[0] = '\0';
    bool plain = text[0] != '\0';
    for (const char* c = text; *c && plain; ++c) plain = is_plain(*c);
    if (plain) return append(buf, size, &used, text);
    // Inside single quotes only the quote itself needs care: end the
    // quoted part, add an escaped quote, and start a new one.
    bool fits = append(buf, size, &used, "'");
    for (const char* c = text; *c && fits; ++c) {
        const char one[2] = {*c, '\0'};
        fits = append(buf, size, &used, *c == '\'' ? "'\\''" : one);
    }
    fits = fits && append(buf, size, &used, "'");
    if (!fits) buf[0] = '\0';
    return fits;
}

bool format_command_line(char* buf, std::size_t size, const child_argv& argv, std::size_t count) {
    if (size == 0) return false;
    buf[0] = '\0';
    std::size_t used = 0;
    for (std::size_t i = 0; i < count && i < argv.size() && argv[i]; ++i) {
        if ((i > 0 && !append(buf, size, &used, " ")) ||
            !quote_for_shell(buf + used, size - used, argv[i])) {
            buf[0] = '\0';
            return false;
        }
        used += std::strlen(buf + used);
    }
    return true;
}

executable_state examine_executable(const char* path) {
    struct stat info {};
    if (::stat(path, &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? executable_state::missing
                                                   : executable_state::unknown;
    if (S_ISDIR(info.st_mode)) return executable_state::directory;
    if (!S_ISREG(info.st_mode)) return executable_state::not_regular;
    if (::access(path, X_OK) != 0) return executable_state::not_executable;
    return executable_state::yes;
}

int check_configuration(const char* config_file) {
    const char* file = config_file ? config_file : config_file_path();
    const system_ops saved = sys;
    sys = inert(saved);
    clear_task_table();
    add_builtin_tasks();
    config_problem problem;
    const bool usable = apply_config(&problem, config_file);
    sys = saved;
    if (!usable) {
        print_problem(file, problem);
        return check_exit_unusable;
    }

    std::printf("%s: usable\n", file);
    if (check_line.ignored_cache_path)
        std::printf("cache_path: %s does not exist: ignored, as the supervisor ignores it\n",
                    check_line.ignored_cache_path);
    dump_task_table(0);
    // The slots a start pass would start, in its order: those not in mode none.
    for (std::size_t i = 0; i < task_slot_count; ++i) print_slot(i, task_table[i]);
    print_pending_update();
    return check_exit_usable;
}

int run_check(int argc, char* argv[]) {
    read_check_command_line(argc, argv);
    switch (check_line.request) {
        case check_request::help:
            std::fputs(check_help_text, stdout);
            return check_exit_usable;
        case check_request::usage_error:
            if (check_line.error[0] != '\0')
                std::fprintf(stderr, "vorn_restart_check: %s\n", check_line.error.data());
            std::fputs(check_usage_text, stderr);
            return check_exit_usage;
        case check_request::check:
            break;
    }
    return check_configuration(check_line.config_file);
}

}  // namespace vorn
