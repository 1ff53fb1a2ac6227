// The record of the supervisor's state (see record.hpp): kept up to date
// by the cycle, read by the writers.
#include "supervise/record.hpp"

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "base/messages.hpp"
#include "base/process_names.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/task_log.hpp"
#include "tasks/task_settings.hpp"

namespace vorn {

supervisor_record current_record{};

namespace {

exit_record exit_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) return {exit_kind::signal, WTERMSIG(wait_status), now_moment()};
    return {exit_kind::code, WEXITSTATUS(wait_status), now_moment()};
}

// What the slot's kept exec report tells now.
void take_report_of(std::size_t slot) {
    start_failure failure{};
    const start_news news = take_start_report(slot, &failure);
    if (news != start_news::none) record_start_news(slot, news, failure);
}

// The bookkeeping of one end, whatever brought it about.
void note_end(std::size_t slot, const exit_record& end) {
    take_report_of(slot);
    slot_record& s = current_record.slots[slot];
    const bool same = s.last_exit.kind == end.kind && s.last_exit.value == end.value;
    s.same_exits = same ? s.same_exits + 1 : 1;
    s.ended_by_supervisor = (same ? s.ended_by_supervisor : 0) + (s.ending ? 1 : 0);
    s.ending = false;
    // A program that puts itself in the background ends with 0 at once; its
    // end is seen at the pass that started it or at the next one.  Boot
    // clock: a clock set forwards or backwards in between changes nothing.
    const bool short_run = end.kind == exit_kind::code && end.value == 0 && s.started_this_turn &&
                           end.at.boot - s.since.boot <= short_run_seconds;
    s.short_runs = short_run ? s.short_runs + 1 : 0;
    s.last_exit = end;
    ++s.ends;
    current_record.changed = true;
}

// Whether the operator holds the slot's task down.  A hold new to the slot
// (kept from the supervisor before this one, or a task that moved to it)
// keeps the task's log watched: what the task left running may write on.
void take_hold(std::size_t slot, slot_record& s) {
    const bool was = s.stopped;
    s.stopped = hold_of_slot(slot) != nullptr;
    if (s.stopped && !was) log_task_held_down(slot);
}

}  // namespace

moment now_moment() { return {sys.now(), sys.boot_seconds()}; }

slot_state state_of_slot(const task_info& task, const slot_record& s) {
    if (task.task_pid != 0) return s.end_seen ? slot_state::exited : slot_state::running;
    // Settings belong to the table's slots (a copy of a task has none).
    for (std::size_t i = 0; i < task_slot_count; ++i)
        if (&task == &task_table[i] && task_refused(i)) return slot_state::refused;
    if (s.stopped) return slot_state::stopped;
    if (task.task_mode == mode_none)
        return s.started_this_turn ? slot_state::ended : slot_state::off;
    return s.marker[0] != '\0' ? slot_state::held_back : slot_state::waiting;
}

bool slot_up(const task_info& task, const slot_record& s) {
    return task.task_pid != 0 && !s.end_seen && s.passes_seen_running >= 2;
}

void reset_record() {
    current_record = supervisor_record{};
    current_record.pid = ::getpid();
    current_record.start_ticks = own_start_ticks();
    current_record.started = now_moment();
}

void record_turn_begins() {
    close_start_reports();  // the last turn's children are all ended
    ++current_record.turn;
    current_record.turn_started = now_moment();
    current_record.changed = true;
}

void record_configuration(bool usable, const config_problem& problem) {
    current_record.configuration_read = true;
    current_record.usable = usable;
    current_record.changed = true;
    current_record.kill_error = kill_by_name_error;
    if (kill_by_name_error == 0) {
        current_record.kill_error_told = false;
    } else if (!current_record.kill_error_told) {
        current_record.kill_error_told = true;
        complain("cannot run killall: %s; stale copies of the tasks are not killed",
                 error_text(kill_by_name_error));
    }
    if (!usable) {
        if (!format_config_problem(current_record.problem.data(), current_record.problem.size(),
                                   problem))
            copy_text(current_record.problem, problem.text.data());
        return;  // the slots keep their counts until a usable file
    }
    current_record.problem[0] = '\0';
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const task_info& task = task_table[i];
        slot_record& s = current_record.slots[i];
        // Another task in the slot starts counting afresh.
        if (text_view(s.name) != text_view(task.task_name)) {
            s = slot_record{};
            s.name = task.task_name;
        }
        s.configured_mode = task.task_mode;
        take_hold(i, s);
        s.started_this_turn = false;
        s.end_seen = false;
        s.marker[0] = '\0';
    }
}

void record_reloaded(const std::array<int, task_slot_count>& from) {
    current_record.configuration_read = true;
    current_record.usable = true;
    current_record.problem[0] = '\0';
    current_record.changed = true;
    const std::array<slot_record, task_slot_count> old = current_record.slots;
    std::array<int, task_slot_count> carried{};
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const task_info& task = task_table[i];
        slot_record& s = current_record.slots[i];
        const slot_record* was = from[i] >= 0 ? &old[static_cast<std::size_t>(from[i])] : nullptr;
        carried[i] = -1;
        if (was != nullptr && text_view(was->name) == text_view(task.task_name)) {
            s = *was;
            carried[i] = from[i];
        } else {
            s = slot_record{};
            s.name = task.task_name;
        }
        s.configured_mode = task.task_mode;
        take_hold(i, s);
    }
    move_start_reports(carried);
}

void record_started(std::size_t slot) {
    slot_record& s = current_record.slots[slot];
    ++s.starts;
    s.since = now_moment();
    s.started_this_turn = true;
    s.ending = false;
    s.passes_seen_running = 0;
    s.end_seen = false;
    s.marker[0] = '\0';
    current_record.changed = true;
}

void record_ended(std::size_t slot, int wait_status) {
    slot_record& s = current_record.slots[slot];
    if (s.end_seen) {
        // Recorded when it was first seen; now it is reaped.
        s.end_seen = false;
        current_record.changed = true;
        return;
    }
    log_task_ended(slot, wait_status);
    note_end(slot, exit_of(wait_status));
}

void record_killed(std::size_t slot) {
    slot_record& s = current_record.slots[slot];
    if (s.end_seen) {
        s.end_seen = false;
        current_record.changed = true;
        return;
    }
    // The kill has been sent: a child that is already gone ended on its own
    // before it (or of the kill, which its status then says).
    int wait_status = 0;
    const pid_t pid = task_table[slot].task_pid;
    if (pid > 0 && sys.child_ended(pid, &wait_status) == 1) {
        log_task_ended(slot, wait_status);
        note_end(slot, exit_of(wait_status));
    } else {
        const exit_record& updater = current_record.slots[0].last_exit;
        log_task_killed(slot, updater.kind == exit_kind::code ? updater.value : -1);
        s.ending = true;
        note_end(slot, {exit_kind::signal, SIGKILL, now_moment()});
    }
}

void record_ending(std::size_t slot) { current_record.slots[slot].ending = true; }

void record_updater_ended(const char* then) {
    current_record.updater_exit = current_record.slots[0].last_exit;
    current_record.updater_then = then;
    const exit_record& end = current_record.updater_exit;
    const updater_end kind = end.kind == exit_kind::signal ? updater_signal
                             : end.value == 0              ? updater_code_0
                             : end.value == 1              ? updater_code_1
                                                           : updater_code_other;
    ++current_record.updater_ends[kind];
    current_record.changed = true;
}

namespace {

operator_hold* hold_named(const char* name) {
    if (name[0] == '\0') return nullptr;
    for (operator_hold& h : current_record.holds)
        if (std::strcmp(h.name.data(), name) == 0) return &h;
    return nullptr;
}

}  // namespace

const operator_hold* hold_of_slot(std::size_t slot) {
    return hold_named(task_table[slot].task_name.data());
}

bool record_stopped(std::size_t slot, uid_t by, moment since) {
    operator_hold* hold = hold_named(task_table[slot].task_name.data());
    for (operator_hold& h : current_record.holds)
        if (hold == nullptr && h.name[0] == '\0') hold = &h;
    if (hold == nullptr) return false;
    *hold = {task_table[slot].task_name, by, since};
    current_record.slots[slot].stopped = true;
    current_record.changed = true;
    return true;
}

void record_released(std::size_t slot) {
    record_released_name(task_table[slot].task_name.data());
    current_record.slots[slot].stopped = false;
    current_record.changed = true;
}

// Every hold of the name: a file edited by hand may have held it twice.
bool record_released_name(const char* name) {
    bool released = false;
    for (operator_hold* hold; (hold = hold_named(name)) != nullptr; released = true)
        *hold = operator_hold{};
    if (released) current_record.changed = true;
    return released;
}

void record_gate(std::size_t slot, const marker_path& marker) {
    marker_path& known = current_record.slots[slot].marker;
    if (std::strcmp(known.data(), marker.data()) == 0) return;
    known = marker;
    current_record.changed = true;
    if (marker[0] != '\0') log_task_held(slot, marker.data());
}

void record_start_news(std::size_t slot, start_news news, const start_failure& failure) {
    slot_record& s = current_record.slots[slot];
    // A failed exec is no step before the program: the steps all worked,
    // and its end (255) and the executable itself tell the rest, as for a
    // child that had no report to write.
    if (news == start_news::executed || failure.step == start_step::exec) {
        if (s.start_failure[0] == '\0') return;
        s.start_failure[0] = '\0';
    } else {
        describe_start_failure(failure, settings_of(slot), "cannot ", s.start_failure.data(),
                               s.start_failure.size());
    }
    current_record.changed = true;
}

void record_start_reports() {
    for (std::size_t i = 0; i < task_slot_count; ++i) take_report_of(i);
}

bool record_end_seen(std::size_t slot, int wait_status) {
    slot_record& s = current_record.slots[slot];
    if (s.end_seen) return false;
    log_task_ended(slot, wait_status);
    note_end(slot, exit_of(wait_status));
    s.end_seen = true;
    return true;
}

}  // namespace vorn
