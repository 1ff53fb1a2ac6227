// The supervision cycle (see cycle.hpp).
#include "supervise/cycle.hpp"

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/launch.hpp"
#include "supervise/publish.hpp"
#include "supervise/record.hpp"
#include "supervise/start_gate.hpp"
#include "supervise/task_log.hpp"
#include "supervise/watch.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

int stdout_stderr_fd = 0;

void start_pass() {
    // Unrolled: an idle pass only reads two fields of each slot.
#pragma GCC unroll 16
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        task_info& task = task_table[i];
        if (task.task_pid != 0 || task.task_mode == mode_none) continue;
        // Filled in by the gate: left uninitialised, so that a pass with
        // nothing due does not clear it for nothing.
        marker_path marker;  // NOLINT(cppcoreguidelines-pro-type-member-init)
        const bool held = held_back(task, &marker);
        record_gate(i, marker);
        if (held) continue;
        const pid_t pid = start_task(i);
        if (pid < 0) {
            std::perror("fork");
            return;  // the remaining slots are tried again in the next pass
        }
        task.task_pid = pid;
        record_started(i);
    }
}

pass_outcome updater_exited(pid_t pid, int status) {
    const bool exited = WIFEXITED(status);
    record_ended(0, status);
    if (exited && WEXITSTATUS(status) == 0) {
        record_updater_ended("new turn");
        forget_child(pid);
        for (std::size_t i = 0; i < task_slot_count; ++i) {
            task_info& task = task_table[i];
            if (task.task_pid != 0 && task.task_mode != mode_none) {
                sys.kill_process(task.task_pid);
                std::fprintf(stderr, "kill %s\n", task.task_name.data());
                record_killed(i);
            }
            task.task_pid = 0;
        }
        if (!debug_mode) sys.close_descriptor(stdout_stderr_fd);
        return pass_outcome::new_turn;
    }
    const bool system_restart = exited && WEXITSTATUS(status) == 1;
    record_updater_ended(system_restart ? "system tasks restarted" : "started again");
    forget_child(pid);
    if (system_restart) {
        for (std::size_t i = 0; i < task_slot_count; ++i) {
            task_info& task = task_table[i];
            if (task.task_pid != 0 && task.task_mode != mode_none && task.task_system == 1) {
                sys.kill_process(task.task_pid);
                std::fprintf(stderr, "kill %s...........................\n", task.task_name.data());
                record_killed(i);
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
        record_ended(static_cast<std::size_t>(slot), status);
        forget_child(pid);
        return pass_outcome::go_on;
    }
}

pass_outcome run_pass() {
    start_pass();
    const pass_outcome outcome = reap_step();
    if (outcome == pass_outcome::go_on) note_ended_children();
    rotate_task_logs();
    publish_record();
    watch_kick();
    if (outcome == pass_outcome::new_turn) return outcome;
    paced_pause(pass_seconds);
    return pass_outcome::go_on;
}

void run_turn() {
    // Before the output goes to the null device: a log directory that
    // cannot be used is said where the first turn's caller sees it.
    begin_log_turn();
    if (!debug_mode) {
        const int fd = sys.open_null_device();
        if (fd < 0) {
            std::perror("open");
            std::exit(1);
        }
        stdout_stderr_fd = fd;
        sys.redirect_output(fd);
    }
    record_turn_begins();
    clear_task_table();
    add_builtin_tasks();
    config_problem problem;
    problem.report_open_failure = true;
    const bool usable = apply_config(&problem);
    record_configuration(usable, problem);
    if (!usable) {
        // Ready all the same: the supervisor runs, and waits for a file it
        // can use; STATUS says why nothing starts.
        watch_ready();
        publish_record();
        if (!debug_mode) sys.close_descriptor(stdout_stderr_fd);
        watch_kick();
        unusable_config_pause();
        return;
    }
    dump_task_table(stdout_stderr_fd);
    watch_ready();
    while (run_pass() == pass_outcome::go_on) {
    }
}

void run_cycle() {
    reset_record();
    reset_publishing();
    reset_task_logs();
    for (;;) run_turn();
}

}  // namespace vorn
