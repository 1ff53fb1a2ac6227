// What the operator's requests do (see control_verbs.hpp).
#include "supervise/control_verbs.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <utility>

#include "base/messages.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/children.hpp"
#include "supervise/holds.hpp"
#include "supervise/launch.hpp"
#include "supervise/pace.hpp"
#include "supervise/publish.hpp"
#include "supervise/record.hpp"
#include "supervise/start_gate.hpp"
#include "supervise/task_log.hpp"
#include "supervise/unit.hpp"
#include "tasks/config.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

reload_result reload_under_way{};

static_assert(control_name_size == task_name_size, "a request names a task as the table does");
static_assert(control_exec_ms == 10000, "an answer says 10 s");

namespace {

// Said on standard error and in the task's log as the command is carried
// out, before what it does: "worker restarted by uid 0".
void said(const control_client& c, std::size_t slot, const char* what) {
    complain("%s %s by uid %u", c.request.name.data(), what, static_cast<unsigned>(c.uid));
    std::array<char, 64> line{};
    format_text(line.data(), line.size(), "%s by uid %u", what, static_cast<unsigned>(c.uid));
    log_task_note(slot, line.data());
}

// A start or restart that was said and starts nothing: said too, with why.
void said_not_started(const control_client& c, const char* why) {
    complain("%s not started: %s", c.request.name.data(), why);
    std::array<char, 640> line{};
    format_text(line.data(), line.size(), "not started: %s", why);
    log_task_note(c.slot, line.data());
}

// What an answer about the updater adds: its end by the operator's signal
// is no exit status, so the updater's protocol does not follow.
const char* updater_note(std::size_t slot) {
    return slot == 0 ? "; an end by the operator starts no turn and restarts no task" : "";
}

// The slot of the task named, when it may be commanded; else answered.
bool commanded_slot(control_client& c, std::size_t& slot) {
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        if (std::strcmp(task_table[i].task_name.data(), c.request.name.data()) != 0) continue;
        if (task_table[i].task_mode == mode_none && task_table[i].task_pid == 0) {
            answer(c, control_refused, "%s is in mode none: it is not run, and cannot be %s",
                   c.request.name.data(), "commanded");
            return false;
        }
        slot = i;
        return true;
    }
    if (c.request.verb == control_verb::start && record_released_name(c.request.name.data())) {
        save_holds();
        answer(c, control_done,
               "%s released: it is not in the configuration, and starts when "
               "it is",
               c.request.name.data());
        return false;
    }
    answer(c, control_refused, "no task is named %s", c.request.name.data());
    return false;
}

// The child of the slot, when it runs.  Its end is asked for too: where
// no descriptor tells ends as they come, one may not be seen yet.
pid_t running_child(std::size_t slot) {
    const pid_t pid = task_table[slot].task_pid;
    if (pid == 0 || current_record.slots[slot].end_seen) return 0;
    int wait_status = 0;
    if (sys.child_ended(pid, &wait_status) != 1) return pid;
    record_end_seen(slot, wait_status);
    return 0;
}

void send_signal(control_client& c, std::size_t slot) {
    const pid_t pid = running_child(slot);
    if (pid == 0) {
        answer(c, control_failed, "%s has no running child to signal", c.request.name.data());
        return;
    }
    if (sys.send_signal(pid, c.request.signal_number) != 0) {
        answer(c, control_failed, "cannot signal pid %d: %s", static_cast<int>(pid),
               error_text(errno));
        return;
    }
    std::array<char, 48> what{};
    format_text(what.data(), what.size(), "sent SIG%s",
                control_signal_name(c.request.signal_number));
    said(c, slot, what.data());
    answer(c, control_done, "%s: pid %d got SIG%s", c.request.name.data(), static_cast<int>(pid),
           control_signal_name(c.request.signal_number));
}

// SIGTERM was sent: SIGKILL at the end of the grace, unless the child
// has ended by then.
void begin_grace(control_client& c) {
    const long long now = sys.boot_milliseconds();
    c.due_ms = now + c.request.grace_ms;
    c.piece_ms = 1;  // most children end within a few ms of SIGTERM
    c.look_ms = now + c.piece_ms;
    c.killed = false;
}

}  // namespace

// The new child runs, but whether it executed its program is not known.
void not_seen_to_execute(control_client& c, const char* why) {
    answer(c, control_failed, "%s %s%s, but pid %d is not seen to execute its program: %s",
           c.request.name.data(), c.done, c.before.data(), static_cast<int>(c.started), why);
}

namespace {

// Starts the slot's task now, unless a not-run marker holds it back (as
// it would from a pass).  The answer comes once the new child has executed
// its program (take_exec_report), which it tells by closing the pipe it
// would write its errno to.  The command is said before the fork, unless a
// restart said it before it ended the old child; one that was said and
// starts nothing says why.
void start_now(control_client& c, std::size_t slot, const char* done, const char* before) {
    const char* name = c.request.name.data();
    c.slot = slot;
    if (const char* reason = nullptr; task_refused(slot, &reason)) {
        if (c.ending != 0) said_not_started(c, reason);
        answer(c, control_failed, "%s not started: %s", name, reason);
        return;
    }
    const task_markers markers = markers_of(task_table[slot]);
    if (const marker_ref* marker = holding_marker(markers)) {
        std::array<char, marker_path_size + 16> why{};
        format_text(why.data(), why.size(), "held back by %s", marker->path.data());
        if (c.ending != 0) said_not_started(c, why.data());
        record_gate(slot, marker->path);
        answer(c, control_failed, "%s not %s%s; the marker %s holds it back until it is removed",
               name, done, before, marker->path.data());
        return;
    }
    if (c.ending == 0) said(c, slot, done);
    std::array<int, 2> report{-1, -1};
    const int pipe_error = sys.open_exec_report(report.data()) == 0 ? 0 : errno;
    const pid_t pid = start_task(slot, report[1]);
    const int error = errno;
    if (report[1] >= 0) sys.close_descriptor(report[1]);
    if (pid < 0) {
        if (report[0] >= 0) sys.close_descriptor(report[0]);
        std::array<char, 96> why{};
        format_text(why.data(), why.size(), "fork: %s", error_text(error));
        said_not_started(c, why.data());
        answer(c, control_failed, "%s %s%s, but cannot be started: fork: %s", name, done, before,
               error_text(error));
        return;
    }
    task_table[slot].task_pid = pid;
    record_started(slot);
    c.stage = client_stage::starting;
    c.started = pid;
    c.report_fd = report[0];
    c.done = done;
    copy_text(c.before, before);
    c.due_ms = sys.boot_milliseconds() + control_exec_ms;
    if (pipe_error != 0) not_seen_to_execute(c, error_text(pipe_error));
}

}  // namespace

// What the new child's exec report tells: the end of the pipe once it has
// executed its program, its errno when it could not.
void take_exec_report(control_client& c) {
    start_failure failure{};
    const long n = sys.read_some(c.report_fd, reinterpret_cast<char*>(&failure), sizeof failure);
    if (n < 0 && errno == EAGAIN) return;
    if (n != 0 && n != static_cast<long>(sizeof failure)) {
        not_seen_to_execute(c, n < 0 ? error_text(errno) : "its report is cut short");
        return;
    }
    const char* name = c.request.name.data();
    const int pid = c.started;
    if (n == 0) {
        record_start_news(c.slot, start_news::executed, failure);
        const bool restarted = c.request.verb == control_verb::restart;
        answer(c, control_done, "%s %s%s, pid %d running%s", name, c.done, c.before.data(), pid,
               restarted ? updater_note(c.slot) : "");
        return;
    }
    // Nothing but _exit(255) follows a failed exec: its end is as good as
    // seen, and no command after this answer may take the child for running.
    record_start_news(c.slot, start_news::failed, failure);
    if (task_table[c.slot].task_pid == pid) record_end_seen(c.slot, 255 << 8);  // exit 255
    std::array<char, start_failure_text_size> why{};
    describe_start_failure(failure, settings_of(c.slot), "could not ", why.data(), why.size());
    said_not_started(c, why.data());
    answer(c, control_failed, "%s not %s%s; pid %d %s", name, c.done, c.before.data(), pid,
           why.data());
}

namespace {

// Whether another client is ending the slot's child right now.
bool being_ended(std::size_t slot) {
    for (const control_client& other : control.clients)
        if (other.stage == client_stage::ending && other.slot == slot) return true;
    return false;
}

// restart and stop: SIGTERM now, SIGKILL after the grace; the answer when
// the child has ended (follow_control_requests).
void begin_ending(control_client& c, std::size_t slot) {
    if (being_ended(slot)) {
        answer(c, control_failed,
               "%s is being ended by another command: try again once that "
               "has its answer",
               c.request.name.data());
        return;
    }
    const pid_t pid = running_child(slot);
    const bool stop = c.request.verb == control_verb::stop;
    if (stop) {
        // Held from now: no pass starts it again while it ends.
        if (!record_stopped(slot, c.uid, now_moment())) {
            answer(c, control_failed, "%s cannot be held down: too many tasks are stopped",
                   c.request.name.data());
            return;
        }
        save_holds();
        said(c, slot, "stopped");
    } else if (current_record.slots[slot].stopped) {
        record_released(slot);
        save_holds();
    }
    // The restart is said when it comes, before the old child's end.
    if (!stop && pid != 0) said(c, slot, "restarted");
    if (pid == 0) {
        if (!stop)
            start_now(c, slot, "restarted", ": no child was running");
        else
            answer(c, control_done,
                   "%s stopped: no child was running; held down until "
                   "vorn_restart_ctl start %s",
                   c.request.name.data(), c.request.name.data());
        return;
    }
    const char* name = task_table[slot].task_name.data();
    unit_ending(name, pid);
    sys.send_signal(pid, SIGTERM);
    unit_signal_rest(name, pid, SIGTERM);
    record_ending(slot);
    c.stage = client_stage::ending;
    c.slot = slot;
    c.ending = pid;
    begin_grace(c);
}

void start_task_now(control_client& c, std::size_t slot) {
    if (being_ended(slot)) {
        answer(c, control_failed,
               "%s is being ended by another command: start it once that "
               "has its answer",
               c.request.name.data());
        return;
    }
    const pid_t pid = running_child(slot);
    if (pid != 0) {
        answer(c, control_done, "%s already runs as pid %d", c.request.name.data(),
               static_cast<int>(pid));
        return;
    }
    const bool held = current_record.slots[slot].stopped;
    if (held) {
        record_released(slot);
        save_holds();
        said(c, slot, "released");
    }
    if (task_table[slot].task_pid != 0) {  // ended, not yet reaped: the pass starts it
        if (held)
            answer(c, control_done, "%s released: it starts again after its reap at the next pass",
                   c.request.name.data());
        else
            answer(c, control_failed,
                   "%s not started now: pid %d has ended, and the next pass reaps it and starts "
                   "the task again",
                   c.request.name.data(), static_cast<int>(task_table[slot].task_pid));
        return;
    }
    start_now(c, slot, "started", held ? " (released from its hold)" : "");
}

void answer_reload(control_client& c) {
    std::array<char, reload_answer_size> text{};
    if (!format_reload_answer(reload_under_way, text.data(), text.size()))
        copy_text(text, "reloaded, but what changed does not fit in the answer");
    answer(c, control_done, "%s", text.data());
}

// During the wait after an unusable file: a usable one ends it (a new turn
// reads it, as ever); another changes nothing.
void reload_instead_of_waiting(control_client& c) {
    config_problem problem;
    if (read_config_tasks(&problem)) {
        control.turn_now = true;
        answer(c, control_done, "the configuration is usable now: a new turn begins");
        return;
    }
    std::array<char, 640> why{};
    format_config_problem(why.data(), why.size(), problem);
    answer(c, control_failed, "the configuration is still unusable, nothing runs: %s", why.data());
}

void reload(control_client& c) {
    complain("reload by uid %u", static_cast<unsigned>(c.uid));
    if (current_record.configuration_read && !current_record.usable) {
        reload_instead_of_waiting(c);
        return;
    }
    for (const control_client& other : control.clients)
        if (other.stage == client_stage::reloading || other.stage == client_stage::ending) {
            answer(c, control_failed, "another command is under way: try again");
            return;
        }
    if (!begin_reload(reload_under_way)) {
        answer(c, control_failed, "the configuration is not applied, nothing changed: %s",
               reload_under_way.problem.data());
        return;
    }
    c.stage = client_stage::reloading;
    begin_grace(c);
}

}  // namespace

void carry_out(control_client& c) {
    if (c.request.verb == control_verb::reload) {
        reload(c);
        return;
    }
    if (current_record.configuration_read && !current_record.usable) {
        answer(c, control_failed,
               "the configuration is unusable and nothing runs: mend it, then vorn_restart_ctl "
               "reload");
        return;
    }
    std::size_t slot = 0;
    if (!commanded_slot(c, slot)) return;
    switch (c.request.verb) {
        case control_verb::signal: send_signal(c, slot); break;
        case control_verb::restart:
        case control_verb::stop: begin_ending(c, slot); break;
        case control_verb::start: start_task_now(c, slot); break;
        case control_verb::reload: break;
    }
}

namespace {

// The answer once the child being ended has ended (its end recorded).
void ended(control_client& c) {
    const std::size_t slot = c.slot;
    const exit_record& end = current_record.slots[slot].last_exit;
    std::array<char, 64> how{};
    format_text(how.data(), how.size(), ": pid %d ended (%s %d)", static_cast<int>(c.ending),
                end.kind == exit_kind::signal ? "signal" : "code", static_cast<int>(end.value));
    if (c.request.verb != control_verb::restart) {
        answer(c, control_done, "%s stopped%s; held down until vorn_restart_ctl start %s%s",
               c.request.name.data(), how.data(), c.request.name.data(), updater_note(slot));
        return;
    }
    const pid_t started = task_table[slot].task_pid;  // by a pass meanwhile
    if (started == 0) {
        start_now(c, slot, "restarted", how.data());
        return;
    }
    answer(c, control_done, "%s restarted%s, pid %d running%s", c.request.name.data(), how.data(),
           static_cast<int>(started), updater_note(slot));
}

// Whether the old child of the slot has ended (reaped now, or by a pass).
// The task of its name that waits for it may start from now on.
bool old_child_ended(std::size_t slot) {
    const pid_t pid = reload_under_way.ending[slot];
    int wait_status = 0;
    const pid_t reaped = sys.reap_child(pid, &wait_status);
    if (reaped == 0) return false;
    if (reaped != pid) return true;
    release_child(pid);
    const int waiting = reload_under_way.waiting[slot];
    if (waiting < 0) return true;
    const auto next = static_cast<std::size_t>(waiting);
    if (task_table[next].task_pid != pid) return true;
    record_ended(next, wait_status);
    // Not forget_child: its `once` rule would take their run from the
    // entries this reload has just brought in.
    task_table[next].task_pid = 0;
    return true;
}

// Where no descriptor tells a child's end: the next look, a piece later.
bool look_due(control_client& c, long long now) {
    if (children_held()) return true;  // woken by an end, or by a deadline
    if (now < c.look_ms) return false;
    if (c.piece_ms < control_piece_ms) c.piece_ms *= 2;
    c.look_ms = now + c.piece_ms;
    return true;
}

}  // namespace

void follow_reload(control_client& c, long long now) {
    bool left = false;
    const bool look = look_due(c, now);
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const pid_t pid = reload_under_way.ending[i];
        if (pid == 0) continue;
        if (look && old_child_ended(i)) {
            // What it started ends with it.
            unit_signal_rest(ending_task_name(i), pid, SIGKILL);
            reload_under_way.ending[i] = 0;
        } else {
            left = true;
        }
    }
    if (!left) {
        keep_new_once_entries(reload_under_way);
        control.start_wanted = true;
        answer_reload(c);
        return;
    }
    if (now < c.due_ms) return;
    if (c.killed) {
        answer(c, control_failed,
               "reloaded, but some old children have not ended 1 s after SIGKILL");
        keep_new_once_entries(reload_under_way);
        control.start_wanted = true;
        return;
    }
    const shared_process_look one_look;  // for every unit that ends
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const pid_t pid = reload_under_way.ending[i];
        if (pid == 0) continue;
        sys.send_signal(pid, SIGKILL);
        unit_signal_rest(ending_task_name(i), pid, SIGKILL);
    }
    c.killed = true;
    c.due_ms = now + kill_wait_ms;
}

void follow_one(control_client& c, long long now) {
    int wait_status = 0;
    const pid_t reaped = look_due(c, now) ? sys.reap_child(c.ending, &wait_status) : 0;
    if (reaped == c.ending) {
        record_ended(c.slot, wait_status);
        release_child(c.ending);
        forget_child(c.ending);
    }
    if (reaped == c.ending || task_table[c.slot].task_pid != c.ending) {
        // What it started ends with it.
        unit_signal_rest(c.request.name.data(), c.ending, SIGKILL);
        ended(c);  // by this look, or by a pass meanwhile
        return;
    }
    if (now < c.due_ms) return;
    if (c.killed) {
        answer(c, control_failed, "%s: pid %d has not ended 1 s after SIGKILL",
               c.request.name.data(), static_cast<int>(c.ending));
        return;
    }
    sys.send_signal(c.ending, SIGKILL);
    unit_signal_rest(c.request.name.data(), c.ending, SIGKILL);
    c.killed = true;
    c.due_ms = now + kill_wait_ms;
}

namespace {

// A child of this supervisor's that has not ended gets SIGKILL, and so does
// the rest of its unit; one that has ended (or been reaped, its pid free
// again) is left alone.
void kill_if_running(const char* name, pid_t pid) {
    int wait_status = 0;
    if (pid > 0 && sys.child_ended(pid, &wait_status) == 0) end_unit_now(name, pid);
}

}  // namespace

void end_for_new_turn(control_client& c) {
    const char* name = c.request.name.data();
    if (c.stage == client_stage::ending) {
        kill_if_running(name, c.ending);
        if (c.request.verb == control_verb::stop)
            answer(c, control_done,
                   "%s stopped: pid %d ended by a new turn; held down until vorn_restart_ctl "
                   "start %s",
                   name, static_cast<int>(c.ending), name);
        else
            answer(c, control_failed,
                   "%s not restarted: pid %d ended by a new turn, which starts the tasks of its "
                   "configuration itself",
                   name, static_cast<int>(c.ending));
    } else if (c.stage == client_stage::starting) {
        kill_if_running(name, c.started);
        answer(c, control_failed,
               "%s %s%s, but pid %d ended by a new turn before it was seen to execute its program",
               name, c.done, c.before.data(), static_cast<int>(c.started));
    } else if (c.stage == client_stage::reloading) {
        for (std::size_t i = 0; i < task_slot_count; ++i)
            kill_if_running(ending_task_name(i), std::exchange(reload_under_way.ending[i], 0));
        answer(c, control_failed,
               "reload ended by a new turn before the old children ended: the turn ends every "
               "child and starts the tasks of the configuration itself");
    }
}

}  // namespace vorn
