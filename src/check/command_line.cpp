// Reading the checker's command line with the supervisor's options and rules
// (see command_line.hpp).
#include "check/command_line.hpp"

#include <array>  // std::size; <iterator> would bring the streams along
#include <cstdarg>
#include <getopt.h>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "check/task_log.hpp"

namespace vorn {

check_command check_line{};

namespace {

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

// Whether the value of --option was taken; why not is recorded.
bool path_taken(const char* option, path_result result, std::size_t max, bool dir) {
    if (result == path_result::ok || result == path_result::missing) return true;
    std::array<char, 128> why{};
    describe_path_refusal(why.data(), why.size(), result, max, dir);
    record_error("--%s: %s", option, why.data());
    return false;
}

void check_install_path(const char* root) {
    const path_result result = apply_install_path(root);
    if (!path_taken("install_path", result, install_path_max, true) || result == path_result::ok)
        return;
    // The same directories, in the same order, as the supervisor checks.
    for (const setting_text* dir : {&install_path, &config_path, &sbin_path})
        if (!sys.path_exists(dir->data())) {
            record_error("--install_path=%s: %s does not exist", root, dir->data());
            return;
        }
    record_error("--install_path=%s: a directory of the installation is missing", root);
}

void check_cache_path(const char* dir) {
    if (!path_taken("cache_path", apply_cache_path(dir), cache_path_max, true)) return;
    check_line.ignored_cache_path = sys.path_exists(dir) ? nullptr : dir;
}

void check_status_path(const char* file) {
    path_taken("status_path", apply_status_path(file), status_path_max, false);
}

void check_log_path(const char* dir) {
    check_line.log_path_given = true;
    path_taken("log_path", apply_log_path(dir), log_path_max, true);
}

// Only checked, so that the supervisor's command line may be given as it is.
void check_log_size(const char* bytes) {
    if (!apply_log_size(bytes))
        record_error("--log_size=%s: give a number of bytes from %lu to %lu", bytes, min_log_size,
                     max_log_size);
}

void check_metrics_path(const char* file) {
    path_taken("metrics_path", apply_metrics_path(file), metrics_path_max, false);
}

void check_watchdog(const char* device) {
    path_taken("watchdog", apply_watchdog_path(device), watchdog_path_max, false);
}

void ask_for_log(const char* name) {
    if (const char* fault = log_name_fault(name)) {
        record_error("--log: the task name %s", fault);
        return;
    }
    check_line.log_name = name;
}

void check_lines(const char* text) {
    check_line.lines_given = true;
    unsigned long value = 0;
    for (const char* c = text; *c != '\0' && value <= max_log_lines; ++c) {
        if (*c < '0' || *c > '9') {
            value = 0;
            break;
        }
        value = value * 10 + static_cast<unsigned long>(*c - '0');
    }
    if (value < 1 || value > max_log_lines) {
        record_error("--lines=%s: give a number of lines from 1 to %u", text, max_log_lines);
        return;
    }
    check_line.lines = static_cast<unsigned>(value);
}

void ask_for_status(const char*) { check_line.status = true; }
void ask_for_json(const char*) { check_line.json = true; }

}  // namespace

const option_row check_options[] = {
    {"h", false, ask_for_help},
    {"?", false, ask_for_help},
    {"d", false, nullptr},  // the supervisor's command line may be reused as it is
    {"help", false, ask_for_help},
    {"install_path", true, check_install_path},
    {"cache_path", true, check_cache_path},
    {"status_path", true, check_status_path},
    {"status", false, ask_for_status},
    {"json", false, ask_for_json},
    {"log_path", true, check_log_path},
    {"log_size", true, check_log_size},
    // The supervisor's own: checked, never written or opened here.
    {"metrics_path", true, check_metrics_path},
    {"watchdog", true, check_watchdog},
    {"log", true, ask_for_log},
    {"lines", true, check_lines},
};
const std::size_t check_option_count = std::size(check_options);

static_assert(log_read_limit == 262144 && max_log_lines == 10000 && default_log_lines == 20,
              "the help text names these");

const char check_usage_text[] =
    "Usage: vorn_restart_check [-h] [--install_path=<root>] [--cache_path=<dir>] [<file>]\n"
    "       vorn_restart_check --status [--status_path=<file>] [--json] [--install_path=<root>]\n"
    "                          [--log_path=<dir>] [<file>]\n"
    "       vorn_restart_check --log <name> [--lines=<n>] [--log_path=<dir>]\n"
    "                          [--status_path=<file>]\n";

const char check_help_text[] =
    "vorn_restart_check: checks the configuration of vorn_restart, starting and killing nothing\n"
    "Usage: vorn_restart_check [-h] [--install_path=<root>] [--cache_path=<dir>] [<file>]\n"
    "       vorn_restart_check --status [--status_path=<file>] [--json] [--install_path=<root>]\n"
    "                          [--log_path=<dir>] [<file>]\n"
    "       vorn_restart_check --log <name> [--lines=<n>] [--log_path=<dir>]\n"
    "                          [--status_path=<file>]\n"
    "\n"
    "--install_path=<root>  installation root, as given to vorn_restart (default /)\n"
    "--cache_path=<dir>     cache directory, as given to vorn_restart\n"
    "<file>                 configuration file to check instead of\n"
    "                       <root>/etc/vorn/vorn_restart/vorn_restart.conf\n"
    "--status               report the running vorn_restart from its status file instead:\n"
    "                       its tasks, why one that should run does not (with the last\n"
    "                       lines of its log), and what the next turn kills by name\n"
    "--status_path=<file>   status file, as given to vorn_restart (default\n"
    "                       /run/vorn_restart.status, or /var/run/vorn_restart.status\n"
    "                       when there is no /run)\n"
    "--json                 with --status: print the status file as it is, and nothing else\n"
    "--log <name>           print the last lines of the log of task <name>: <name>.log.1,\n"
    "                       then <name>.log, as the task wrote them (at most the last\n"
    "                       262144 bytes of each; only files of root's, this user's or\n"
    "                       vorn_restart's that no one else can write)\n"
    "--lines=<n>            with --log: that many lines, 1 to 10000 (default 20)\n"
    "--log_path=<dir>       log directory, as given to vorn_restart (default: the one the\n"
    "                       running vorn_restart names in its status file)\n"
    "--log_size=<bytes>     as given to vorn_restart: checked, and otherwise ignored\n"
    "--metrics_path=<file>  as given to vorn_restart: checked, and otherwise ignored\n"
    "--watchdog=<device>    as given to vorn_restart: checked, and otherwise ignored\n"
    "-h, -?, --help         this text\n"
    "\n"
    "Exit status: 0 usable, 1 unusable, 2 command line not usable.\n"
    "With --status: 0 vorn_restart runs and so does everything that should, 1 vorn_restart\n"
    "runs but something that should run does not (a task, its configuration, or\n"
    "vorn_restart itself is stopped or hung), 3 no live vorn_restart, 4 the status cannot\n"
    "be known (a status file that cannot be read or trusted), 2 command line not usable.\n"
    "With --log: 0 printed, 1 no log of that task (or vorn_restart keeps none), 3 no\n"
    "--log_path and no live vorn_restart, 4 a log or the status file cannot be read or\n"
    "trusted, 2 command line not usable.\n";

void read_check_command_line(int argc, char* argv[]) {
    check_line = check_command{};
    check_line.lines = default_log_lines;
    reset_settings();
    run_options(argc, argv, check_options, check_option_count, note_option_error);
    if (check_line.request != check_request::check) return;
    // getopt_long has moved the operands behind the options.
    if (optind < argc) check_line.config_file = argv[optind];
    if (argc - optind > 1) record_error("more than one configuration file given");
    if (check_line.json && !check_line.status) record_error("--json goes with --status");
    if (check_line.lines_given && !check_line.log_name) record_error("--lines goes with --log");
    if (check_line.log_name && check_line.status)
        record_error("--log and --status do not go together");
    if (check_line.log_name && check_line.config_file)
        record_error("--log takes no configuration file");
    normalise_settings();
    choose_default_status_path();
}

}  // namespace vorn
