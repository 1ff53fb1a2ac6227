// The supervision cycle (see cycle.hpp).
#include "supervise/cycle.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/children.hpp"
#include "supervise/control.hpp"
#include "supervise/launch.hpp"
#include "supervise/pace.hpp"
#include "supervise/publish.hpp"
#include "supervise/record.hpp"
#include "supervise/start_gate.hpp"
#include "supervise/task_log.hpp"
#include "supervise/unit.hpp"
#include "supervise/watch.hpp"
#include "tasks/config.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

int stdout_stderr_fd = 0;

namespace {

// Every source of the one wait: the channel and its clients, the write
// watch of the logs, the children's descriptors.
constexpr std::size_t wait_source_count = 1 + control_client_count + 1 + child_handle_count;

// The nearer of two deadlines, where -1 is none.
long long nearer(long long a, long long b) {
    if (a < 0) return b;
    if (b < 0) return a;
    return a < b ? a : b;
}

// After a reload: what is due starts now, not at the next pass.
void start_reloaded() {
    if (!control.start_wanted) return;
    control.start_wanted = false;
    start_pass();
}

// The supervisor's one wait: on every source at once, until `due` or a
// nearer deadline (a client's, a kick's, a look at a fast log's), then
// what is due is done: ends are recorded, commands carried out and
// followed, logs looked at, the watchdogs kicked, and what changed is
// published at once.  The boot clock's ms when it woke.
long long wait_once(long long due) {
    // Filled in by the sources: only the first entries are used.
    std::array<struct pollfd, wait_source_count>
        fds;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    const std::size_t channel = control_wait_sources(fds.data(), fds.size());
    const std::size_t logs = log_wait_sources(fds.data() + channel, fds.size() - channel);
    const std::size_t from = channel + logs;
    const std::size_t children = child_wait_sources(fds.data() + from, fds.size() - from);
    long long deadline = nearer(due, control_deadline());
    deadline = nearer(nearer(deadline, watch_deadline()), log_look_deadline());
    sys.wait_for(fds.data(), from + children, deadline);
    const long long now = sys.boot_milliseconds();
    note_child_ends(fds.data() + from, children);
    serve_control(fds.data(), channel, now);
    follow_control_requests(now);
    start_reloaded();
    serve_task_logs(fds.data() + channel, logs, now);
    // A kick due with the pass is the pass's own.
    const long long kick = watch_deadline();
    if (kick >= 0 && now >= kick && now < due) watch_kick();
    if (current_record.changed || current_record.up_changed) publish_record();
    return now;
}

// Until due, from now.
void rest_from(long long now, long long due) {
    while (now < due) now = wait_once(due);
}

}  // namespace

void rest(long long due_ms) { rest_from(sys.boot_milliseconds(), due_ms); }

void start_pass() {
    // Unrolled: an idle pass only reads two fields of each slot.
#pragma GCC unroll 16
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        task_info& task = task_table[i];
        if (task.task_pid != 0 || task.task_mode == mode_none) continue;
        if (current_record.slots[i].stopped) continue;  // held down by the operator
        if (task_refused(i)) continue;  // its entry cannot be honoured: never started
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
        const shared_process_look one_look;  // for every unit's end
        for (std::size_t i = 0; i < task_slot_count; ++i) {
            task_info& task = task_table[i];
            if (task.task_pid != 0 && task.task_mode != mode_none) {
                end_unit_now(task.task_name.data(), task.task_pid);
                std::fprintf(stderr, "kill %s\n", task.task_name.data());
                record_killed(i);
            }
            task.task_pid = 0;
        }
        end_commands_for_new_turn();
        if (!debug_mode) sys.close_descriptor(stdout_stderr_fd);
        return pass_outcome::new_turn;
    }
    const bool system_restart = exited && WEXITSTATUS(status) == 1;
    record_updater_ended(system_restart ? "system tasks restarted" : "started again");
    forget_child(pid);
    if (system_restart) {
        const shared_process_look one_look;  // for every unit's end
        for (std::size_t i = 0; i < task_slot_count; ++i) {
            task_info& task = task_table[i];
            if (task.task_pid != 0 && task.task_mode != mode_none && task.task_system == 1) {
                end_unit_now(task.task_name.data(), task.task_pid);
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
        release_child(pid);
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

namespace {

// Reaps, without waiting, every child that has ended.  In a turn whose
// configuration is unusable no slot holds a child: all that are left were
// killed when the last turn ended.  False when no child is left at all.
bool reap_killed_children() {
    for (;;) {
        int status = 0;
        const pid_t pid = sys.reap_any(&status);
        if (pid == 0) return true;  // some left, none ended yet
        if (pid < 0) return errno != ECHILD;
        release_child(pid);
    }
}

// The wait after an unusable configuration, 30 s as ever, with the
// operator's commands, the logs and the kicks served as in a pass's wait.
// The children killed when the last turn ended are reaped as their ends
// come (where no descriptor tells them: at every pass's time), so that
// none stays a zombie until a usable file comes.  A reload that finds the
// file usable ends it.
void unusable_wait() {
    const long long due = sys.boot_milliseconds() + unusable_config_seconds * 1000LL;
    bool killed_left = reap_killed_children();
    long long look = sys.boot_milliseconds() + pass_seconds * 1000LL;
    while (!control.turn_now) {
        const long long now = sys.boot_milliseconds();
        if (now >= due) break;
        const bool looking = killed_left && !children_held();
        wait_once(looking ? nearer(due, look) : due);
        if (killed_left && (ends_may_wait() || sys.boot_milliseconds() >= look)) {
            killed_left = reap_killed_children();
            look = sys.boot_milliseconds() + pass_seconds * 1000LL;
            tidy_unit_cgroups();  // the cgroups of the tasks the turn's kills ended
        }
    }
    control.turn_now = false;
}

}  // namespace

pass_outcome run_pass() {
    // Before the start pass: a task started now logs where the logs are now.
    if (check_log_directory()) current_record.changed = true;
    tidy_unit_cgroups();
    start_pass();
    const pass_outcome outcome = reap_step();
    if (outcome == pass_outcome::go_on) note_ended_children();
    record_start_reports();
    rotate_task_logs();
    publish_record();
    // The next pass begins a pass after this one ended.
    const long long ended = sys.boot_milliseconds();
    watch_kick();
    if (outcome == pass_outcome::new_turn) return outcome;
    rest_from(ended, ended + pass_seconds * 1000LL);
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
            end_units();
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
    units_follow_table();  // the cgroups of tasks that left it go
    if (!usable) {
        // Ready all the same: the supervisor runs, and waits for a file it
        // can use; STATUS says why nothing starts.
        watch_ready();
        publish_record();
        if (!debug_mode) sys.close_descriptor(stdout_stderr_fd);
        watch_kick();
        unusable_wait();
        return;
    }
    dump_task_table(stdout_stderr_fd);
    watch_ready();
    while (run_pass() == pass_outcome::go_on) {
    }
}

void run_cycle() {
    // The record was begun by the start-up (its OOM protection is in it).
    reset_publishing();
    reset_task_logs();
    reset_control();
    reset_child_handles();
    open_control_channel();
    for (;;) run_turn();
}

}  // namespace vorn
