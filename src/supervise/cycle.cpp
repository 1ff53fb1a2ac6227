// The supervision cycle (see cycle.hpp).
#include "supervise/cycle.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/control.hpp"
#include "supervise/launch.hpp"
#include "supervise/pace.hpp"
#include "supervise/publish.hpp"
#include "supervise/record.hpp"
#include "supervise/start_gate.hpp"
#include "supervise/task_log.hpp"
#include "supervise/watch.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

int stdout_stderr_fd = 0;

namespace {

void arm_watch(bool armed) {
    sys.arm_write_watch(task_logs.notify_fd, armed);
    task_logs.armed = armed;
}

// Sleeps up to `seconds` in the watchdog's pieces; returns early, with the
// seconds left, when a write to a log was noted while armed.
unsigned calm_sleep(unsigned seconds) {
    const unsigned piece = watch.piece_seconds;
    for (;;) {
        if (task_logs.armed && sys.take_log_write()) return seconds;
        if (sys.control_noted()) return seconds;
        const unsigned now = piece != 0 && seconds > piece ? piece : seconds;
        const unsigned left = sys.pause_seconds(now);
        seconds -= now - (left < now ? left : now);
        if (seconds == 0) return 0;
        if (left == 0) watch_kick();  // a whole piece: cut short, it goes on without one
    }
}

// Sleeps ms in pieces of look_ms while it is not 0, each followed by a
// look at the logs, with the watchdog kicked as often as its pieces ask.
void sleep_in_pieces(unsigned long left) {
    const unsigned long kick_ms = watch.piece_seconds * 1000UL;
    unsigned long since_kick = 0;
    while (task_logs.look_ms != 0 && left > task_logs.look_ms) {
        const unsigned piece = task_logs.look_ms;
        if (kick_ms != 0 && since_kick + piece > kick_ms) {
            watch_kick();
            since_kick = 0;
        }
        sys.pause_milliseconds(piece);
        since_kick += piece;
        left -= piece;
        task_logs.slept_ms += piece;
        rotate_task_logs();
    }
    task_logs.slept_ms += left;
    if (left % 1000 == 0) {
        watched_pause(static_cast<unsigned>(left / 1000));
        return;
    }
    if (kick_ms != 0 && since_kick + left > kick_ms) watch_kick();
    sys.pause_milliseconds(static_cast<unsigned>(left));
}

// Sleeps seconds (a pass's sleep), kicking the watchdogs as watched_pause
// does: one sleep while look_ms is 0 (cut short by a write to a log), else
// pieces of look_ms, each followed by a look at the logs.  Cut short by a
// note from the control channel, it returns the seconds not slept (else 0;
// the pieces of a fast log's pace are not cut short).
unsigned paced_pause(unsigned seconds) {
    if (!logs_watched()) return watched_pause(seconds);
    unsigned long left = seconds * 1000UL;
    if (task_logs.look_ms == 0) {
        if (!task_logs.armed && task_logs.notify_fd >= 0) arm_watch(true);
        const unsigned unslept = calm_sleep(seconds);
        if (unslept == 0) {
            task_logs.slept_ms += left;
            return 0;
        }
        if (sys.control_noted()) {
            task_logs.slept_ms += left - unslept * 1000UL;
            return unslept;
        }
        // A log was written to: a look now, and another soon to tell its speed.
        arm_watch(false);
        task_logs.slept_ms = 0;
        rotate_task_logs();
        task_logs.look_ms = min_log_look_ms;
        left = unslept * 1000UL;
    }
    sleep_in_pieces(left);
    return 0;
}

// After a reload: what is due starts now, not at the next pass.
void start_reloaded() {
    if (!control.start_wanted) return;
    control.start_wanted = false;
    start_pass();
}

// Waits ms in pieces (1 ms, then twice as long each time up to
// control_piece_ms) while a command waits for a child to end, following it
// after each piece, kicking the watchdogs as often as
// their pieces ask.  The ms left when nothing waits any more.
unsigned long follow_commands(unsigned long left) {
    const unsigned long kick_ms = watch.piece_seconds * 1000UL;
    unsigned long since_kick = 0;
    unsigned piece = 1;  // most children end within a few ms of SIGTERM
    while (left > 0 && control_waiting()) {
        if (piece > left) piece = static_cast<unsigned>(left);
        sys.pause_milliseconds(piece);
        left -= piece;
        since_kick += piece;
        if (kick_ms != 0 && since_kick >= kick_ms) {
            watch_kick();
            since_kick = 0;
        }
        take_control_requests();
        follow_control_requests(piece);
        start_reloaded();
        if (piece < control_piece_ms) piece *= 2;
    }
    return left;
}

// The pass's sleep, with the operator's commands carried out as they come:
// the pass begins when it would have begun without them.
void rest(unsigned seconds) {
    unsigned long left = seconds * 1000UL;
    while (left > 0) {
        // A client that came during the pass is served before the sleep.
        take_control_requests();
        if (control_waiting()) {
            left = follow_commands(left);
            continue;
        }
        left = paced_pause(static_cast<unsigned>((left + 999) / 1000)) * 1000UL;
    }
    take_control_requests();
}

}  // namespace

void start_pass() {
    // Unrolled: an idle pass only reads two fields of each slot.
#pragma GCC unroll 16
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        task_info& task = task_table[i];
        if (task.task_pid != 0 || task.task_mode == mode_none) continue;
        if (current_record.slots[i].stopped) continue;  // held down by the operator
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
    }
}

// The wait after an unusable configuration, 30 s as ever.  While killed
// children are left, or logs are watched, it goes in pieces of a pass, with
// a look at the logs, a reap and a kick after each, so that none stays a
// zombie and no log outgrows its bound until a usable file comes; the rest
// is one sleep (cut by watched_pause for a watchdog).
void unusable_wait() {
    unsigned left = unusable_config_seconds;
    bool killed_left = reap_killed_children();
    while (left > 0 && (killed_left || logs_watched()) && !control.turn_now) {
        const unsigned piece = left < pass_seconds ? left : pass_seconds;
        const unsigned unslept = logs_watched() ? paced_pause(piece) : watched_pause(piece);
        left -= piece - unslept;
        take_control_requests();
        rotate_task_logs();
        killed_left = killed_left && reap_killed_children();
        if (left > 0 && unslept == 0) watch_kick();
    }
    while (left > 0 && !control.turn_now) {
        left = watched_pause(left);
        take_control_requests();
    }
    control.turn_now = false;
}

}  // namespace

pass_outcome run_pass() {
    // Before the start pass: a task started now logs where the logs are now.
    if (check_log_directory()) current_record.changed = true;
    start_pass();
    const pass_outcome outcome = reap_step();
    if (outcome == pass_outcome::go_on) note_ended_children();
    rotate_task_logs();
    publish_record();
    watch_kick();
    if (outcome == pass_outcome::new_turn) return outcome;
    rest(pass_seconds);
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
        unusable_wait();
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
    reset_control();
    open_control_channel();
    for (;;) run_turn();
}

}  // namespace vorn
