#include "supervise/cycle.hpp"

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/launch.hpp"
#include "supervise/start_gate.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

int stdout_stderr_fd = 0;

void start_pass() {
    for (task_info& task : task_table) {
        if (task.task_pid != 0 || task.task_mode == mode_none) continue;
        if (held_back(task)) continue;
        const pid_t pid = start_task(task);
        if (pid < 0) {
            std::perror("fork");
            return;  // the remaining slots are tried again in the next pass
        }
        task.task_pid = pid;
    }
}

pass_outcome updater_exited(pid_t pid, int status) {
    const bool exited = WIFEXITED(status);
    if (exited && WEXITSTATUS(status) == 0) {
        forget_child(pid);
        for (task_info& task : task_table) {
            if (task.task_pid != 0 && task.task_mode != mode_none) {
                sys.kill_process(task.task_pid);
                std::fprintf(stderr, "kill %s\n", task.task_name.data());
            }
            task.task_pid = 0;
        }
        if (!debug_mode) sys.close_descriptor(stdout_stderr_fd);
        return pass_outcome::new_turn;
    }
    forget_child(pid);
    if (exited && WEXITSTATUS(status) == 1) {
        for (task_info& task : task_table) {
            if (task.task_pid != 0 && task.task_mode != mode_none && task.task_system == 1) {
                sys.kill_process(task.task_pid);
                std::fprintf(stderr, "kill %s...........................\n", task.task_name.data());
                task.task_pid = 0;
            }
        }
    }
    return pass_outcome::go_on;
}

pass_outcome reap_step() {
    for (;;) {
        int status = 0;
        const pid_t pid = sys.reap_any(&status);
        if (pid <= 0) return pass_outcome::go_on;  // nothing ended, or no children
        const int slot = slot_of_child(pid);
        if (slot < 0) {
            // Killed earlier and no longer in the table: reaping it now
            // keeps zombies from piling up behind the one-per-pass pace.
            forget_child(pid);
            continue;
        }
        if (slot == 0) return updater_exited(pid, status);
        forget_child(pid);
        return pass_outcome::go_on;
    }
}

pass_outcome run_pass() {
    start_pass();
    if (reap_step() == pass_outcome::new_turn) return pass_outcome::new_turn;
    sys.pause_seconds(pass_seconds);
    return pass_outcome::go_on;
}

void run_turn() {
    if (!debug_mode) {
        const int fd = sys.open_null_device();
        if (fd < 0) {
            std::perror("open");
            std::exit(1);
        }
        stdout_stderr_fd = fd;
        sys.redirect_output(fd);
    }
    clear_task_table();
    add_builtin_tasks();
    if (!apply_config()) {
        if (!debug_mode) sys.close_descriptor(stdout_stderr_fd);
        sys.pause_seconds(unusable_config_seconds);
        return;
    }
    dump_task_table(stdout_stderr_fd);
    while (run_pass() == pass_outcome::go_on) {
    }
}

void run_cycle() {
    for (;;) run_turn();
}

}  // namespace vorn
