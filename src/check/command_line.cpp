#include "check/command_line.hpp"

#include <array>  // std::size; <iterator> would bring the streams along
#include <cstdarg>
#include <getopt.h>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"

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

void check_install_path(const char* root) {
    switch (apply_install_path(root)) {
        case path_result::ok: return;
        case path_result::too_long:
            record_error(
                "--install_path: value too long (at most %zu bytes, not counting a "
                "final /)",
                install_path_max);
            return;
        case path_result::missing: break;
    }
    // The same directories, in the same order, as the supervisor checks.
    for (const setting_text* dir : {&install_path, &config_path, &sbin_path})
        if (!sys.path_exists(dir->data())) {
            record_error("--install_path=%s: %s does not exist", root, dir->data());
            return;
        }
    record_error("--install_path=%s: a directory of the installation is missing", root);
}

void check_cache_path(const char* dir) {
    if (apply_cache_path(dir) == path_result::too_long) {
        record_error("--cache_path: value too long (at most %zu bytes, not counting a final /)",
                     cache_path_max);
        return;
    }
    check_line.ignored_cache_path = sys.path_exists(dir) ? nullptr : dir;
}

void check_status_path(const char* file) {
    if (apply_status_path(file) == path_result::too_long)
        record_error("--status_path: value too long (at most %zu bytes)", status_path_max);
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
};
const std::size_t check_option_count = std::size(check_options);

const char check_usage_text[] =
    "Usage: vorn_restart_check [-h] [--install_path=<root>] [--cache_path=<dir>] [<file>]\n"
    "       vorn_restart_check --status [--status_path=<file>] [--json] [--install_path=<root>]\n"
    "                          [<file>]\n";

const char check_help_text[] =
    "vorn_restart_check: checks the configuration of vorn_restart, starting and killing nothing\n"
    "Usage: vorn_restart_check [-h] [--install_path=<root>] [--cache_path=<dir>] [<file>]\n"
    "       vorn_restart_check --status [--status_path=<file>] [--json] [--install_path=<root>]\n"
    "                          [<file>]\n"
    "\n"
    "--install_path=<root>  installation root, as given to vorn_restart (default /)\n"
    "--cache_path=<dir>     cache directory, as given to vorn_restart\n"
    "<file>                 configuration file to check instead of\n"
    "                       <root>/etc/vorn/vorn_restart/vorn_restart.conf\n"
    "--status               report the running vorn_restart from its status file instead:\n"
    "                       its tasks, why one that should run does not, and what the next\n"
    "                       turn kills by name\n"
    "--status_path=<file>   status file, as given to vorn_restart (default\n"
    "                       /run/vorn_restart.status, or /var/run/vorn_restart.status\n"
    "                       when there is no /run)\n"
    "--json                 with --status: print the status file as it is, and nothing else\n"
    "-h, -?, --help         this text\n"
    "\n"
    "Exit status: 0 usable, 1 unusable, 2 command line not usable.\n"
    "With --status: 0 vorn_restart runs and so does everything that should, 1 vorn_restart\n"
    "runs but something that should run does not (a task, its configuration, or\n"
    "vorn_restart itself is stopped or hung), 3 no live vorn_restart, 4 the status cannot\n"
    "be known (a status file that cannot be read or trusted), 2 command line not usable.\n";

void read_check_command_line(int argc, char* argv[]) {
    check_line = check_command{};
    reset_settings();
    run_options(argc, argv, check_options, check_option_count, note_option_error);
    if (check_line.request != check_request::check) return;
    // getopt_long has moved the operands behind the options.
    if (optind < argc) check_line.config_file = argv[optind];
    if (argc - optind > 1) record_error("more than one configuration file given");
    if (check_line.json && !check_line.status) record_error("--json goes with --status");
    normalise_settings();
    choose_default_status_path();
}

}  // namespace vorn
