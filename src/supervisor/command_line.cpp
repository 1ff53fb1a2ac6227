// The supervisor's option table, handlers and help text (see command_line.hpp).
#include "supervisor/command_line.hpp"

#include <array>  // std::size; <iterator> would bring the streams along
#include <cstdio>
#include <cstdlib>

#include "base/messages.hpp"
#include "base/settings.hpp"
#include "supervise/unit.hpp"

namespace vorn {

const char help_text[] =
    "vorn_restart\n"
    "Usage: vorn_restart [-h?] [--help] [--config_path=xxx] [--cache_path=xxx]\n"
    "\n"
    "Options:\n"
    "-h                    help info\n"
    "-?                    help info\n"
    "--help                help info\n"
    "--install_path        such as: --install_path=/\n"
    "--cache_path          such as: --config_path=/mnt/sda1\n"
    "--status_path         such as: --status_path=/run/vorn_restart.status\n"
    "--log_path            such as: --log_path=/run/vorn_restart/log (each task's output\n"
    "                      in <name>.log there; default: none, the null device)\n"
    "--log_size            such as: --log_size=65536 (bytes a task's log holds before\n"
    "                      it becomes <name>.log.1; at least 4096)\n"
    "--metrics_path        such as: --metrics_path=/var/lib/prometheus/node-exporter/\n"
    "                      vorn_restart.prom (Prometheus text format; default: none)\n"
    "--watchdog            such as: --watchdog=/dev/watchdog (written to at every pass,\n"
    "                      so that a hung or dead supervisor resets the device)\n"
    "--no_task_cgroups     follow each task's processes as a process tree, never in a\n"
    "                      cgroup of its own (default: a cgroup per task when root)\n"
    "--no_oom_protect      keep the OOM score the supervisor was started with (as\n"
    "                      root it otherwise takes -1000, and its tasks 0)\n";

void show_help(const char*) {
    std::fputs(help_text, stderr);
    std::exit(0);
}

void show_usage_error(const char*) {
    std::fputs(help_text, stderr);
    std::exit(usage_exit_status);
}

void set_debug(const char*) { debug_mode = 1; }

void set_no_oom_protect(const char*) { oom_protect = false; }

// Ends the program when the value of --option was refused.
void end_unless_taken(const char* option, path_result result, std::size_t max, bool dir) {
    if (result == path_result::ok || result == path_result::missing) return;
    std::array<char, 128> why{};
    describe_path_refusal(why.data(), why.size(), result, max, dir);
    complain("--%s: %s", option, why.data());
    std::exit(255);
}

void set_install_path(const char* root) {
    const path_result result = apply_install_path(root);
    end_unless_taken("install_path", result, install_path_max, true);
    if (result != path_result::missing) return;
    print_settings_report();
    std::exit(255);
}

void set_cache_path(const char* dir) {
    end_unless_taken("cache_path", apply_cache_path(dir), cache_path_max, true);
}

void set_status_path(const char* file) {
    end_unless_taken("status_path", apply_status_path(file), status_path_max, false);
}

void set_metrics_path(const char* file) {
    end_unless_taken("metrics_path", apply_metrics_path(file), metrics_path_max, false);
}

void set_log_path(const char* dir) {
    end_unless_taken("log_path", apply_log_path(dir), log_path_max, true);
}

void set_log_size(const char* bytes) {
    if (apply_log_size(bytes)) return;
    complain("--log_size=%s: give a number of bytes from %lu to %lu", bytes, min_log_size,
             max_log_size);
    std::exit(255);
}

void set_no_task_cgroups(const char*) { task_cgroups_off = true; }

void set_watchdog(const char* device) {
    end_unless_taken("watchdog", apply_watchdog_path(device), watchdog_path_max, false);
}

const option_row supervisor_options[] = {
    {"h", false, show_help},
    {"?", false, show_help},
    {"d", false, set_debug},
    {"help", false, show_help},
    {"install_path", true, set_install_path},
    {"cache_path", true, set_cache_path},
    {"status_path", true, set_status_path},
    {"log_path", true, set_log_path},
    {"log_size", true, set_log_size},
    {"metrics_path", true, set_metrics_path},
    {"watchdog", true, set_watchdog},
    {"no_task_cgroups", false, set_no_task_cgroups},
    {"no_oom_protect", false, set_no_oom_protect},
};
const std::size_t supervisor_option_count = std::size(supervisor_options);

}  // namespace vorn
