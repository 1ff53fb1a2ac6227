// Judging one slot of the status file against /proc (see status_slots.hpp).
#include "check/status_slots.hpp"

#include <cstdarg>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>

#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/kill_listing.hpp"
#include "check/report.hpp"
#include "check/shell_quote.hpp"

namespace vorn {

namespace {

using why_text = std::array<char, 2048>;

const char background_text[] =
    "ended with status 0 within one pass of starting, %lld times in a row: a program that puts "
    "itself in the background does that, and vorn_restart needs its tasks in the foreground";
const char reaped_later[] = "it is started again after its reap at a coming pass";

void say(why_text& why, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends to the why-line; a line that does not fit keeps what it had.
void say(why_text& why, const char* format, ...) {
    const std::size_t used = std::strlen(why.data());
    std::va_list args;
    va_start(args, format);
    if (!vformat_text(why.data() + used, why.size() - used, format, args)) why[used] = '\0';
    va_end(args);
}

// "code 1" or "signal 9".
std::array<char, 32> end_text(const read_end& end) {
    std::array<char, 32> text{};
    format_text(text.data(), text.size(), "%s %lld", end.kind == end_kind::code ? "code" : "signal",
                end.value);
    return text;
}

bool has_end(const read_end& end) {
    return end.kind == end_kind::code || end.kind == end_kind::signal;
}

bool is_once(const read_slot& slot) { return slot.mode.text == "once"; }

// Whether the supervisor's child has not executed the task's program yet:
// between the fork and the exec it is a copy of the supervisor, its
// executable the supervisor's.  False when either link cannot be read.
bool not_executed_yet(pid_t pid) {
    std::array<char, 64> path{};
    std::array<char, 4096> own{}, child{};
    format_text(path.data(), path.size(), "/proc/%d/exe", static_cast<int>(judged.facts.pid));
    if (sys.read_link(path.data(), own.data(), own.size()) <= 0) return false;
    format_text(path.data(), path.size(), "/proc/%d/exe", static_cast<int>(pid));
    return sys.read_link(path.data(), child.data(), child.size()) > 0 &&
           std::strcmp(own.data(), child.data()) == 0;
}

// A process the file calls running must be a live child of the supervisor
// that runs the task's program; *ended: how a zombie ended, when the
// kernel tells.
child_check check_child(const read_slot& slot, read_end* ended) {
    if (!slot.pid.ok()) return child_check::gone;
    const process_stat stat = read_process_stat(static_cast<pid_t>(slot.pid.value));
    if (stat.state == '\0') return child_check::gone;
    if (stat.state == 'Z' || stat.state == 'X') {
        if (stat.exit_known && WIFSIGNALED(stat.exit_status))
            *ended = {end_kind::signal, WTERMSIG(stat.exit_status)};
        else if (stat.exit_known && WIFEXITED(stat.exit_status))
            *ended = {end_kind::code, WEXITSTATUS(stat.exit_status)};
        return child_check::zombie;
    }
    if (stat.parent != judged.facts.pid) return child_check::not_child;
    const auto pid = static_cast<pid_t>(slot.pid.value);
    return not_executed_yet(pid) ? child_check::not_executed : child_check::live;
}

// The slot's executable as the checker's own configuration names it (the
// path in the file is never looked at); nullptr when the slot does not
// hold the same task there.
const char* own_task_path(const read_slot& slot) {
    if (!slot.index.ok()) return nullptr;
    const task_info& task = task_table[static_cast<std::size_t>(slot.index.value)];
    if (task.task_name[0] == '\0' || text_view(task.task_name) != slot.name.text) return nullptr;
    return task.task_path.data();
}

// Why the slot's executable cannot be run, or nullptr when nothing says so.
const char* executable_fault(const char* path) {
    if (!path) return nullptr;
    switch (examine_executable(path)) {
        case executable_state::missing: return "is missing";
        case executable_state::directory: return "is a directory";
        case executable_state::not_regular: return "is not a regular file";
        case executable_state::not_executable: return "is not executable";
        case executable_state::yes:
        case executable_state::unknown: break;
    }
    return nullptr;
}

// A live process named as the task, that the supervisor did not start: what
// a task that puts itself in the background leaves behind.  0 when none.
pid_t left_behind(const read_slot& slot) {
    const pid_t* pids = nullptr;
    const long listed = list_processes_now(&pids);
    for (long i = 0; i < listed; ++i) {
        std::array<char, 64> comm{};
        if (examine_process(pids[i], comm.data(), comm.size()) == process_kind::ended) continue;
        const std::string_view name = head(slot.name.text, process_name_max);
        if (name.empty() || name != std::string_view(comm.data())) continue;
        const process_stat stat = read_process_stat(pids[i]);
        if (stat.state != 'Z' && stat.state != 'X' && stat.parent != judged.facts.pid)
            return pids[i];
    }
    return 0;
}

// The latest end as the judgement counts it: the file's, or, for a child
// that has ended since the file was written, that end added to the file's.
// same_exits counts the task's own ends alone: one that the supervisor
// brought about (the operator's restart or stop, a new turn's kill) is no
// crash.
struct run_record {
    read_end end;
    long long same_exits;
    long long short_runs;
};

run_record record_of(const read_slot& slot) {
    return {slot.last_exit, slot.same_exits.or_zero() - slot.ended_by_supervisor.or_zero(),
            slot.short_runs.or_zero()};
}

run_record with_zombie_end(const read_slot& slot, const read_end& end) {
    run_record run = record_of(slot);
    if (!has_end(end)) return run;
    const bool same = end.kind == slot.last_exit.kind && end.value == slot.last_exit.value;
    run.same_exits = same ? run.same_exits + 1 : 1;
    const bool short_run = end.kind == end_kind::code && end.value == 0 && slot.since_boot.ok() &&
                           judged.facts.boot_now - slot.since_boot.value <= short_run_seconds;
    run.short_runs = short_run ? run.short_runs + 1 : 0;
    run.end = end;
    return run;
}

// The cause of a slot's trouble that its record tells, the likeliest
// first: an executable that cannot be run, a program that puts itself in
// the background, runs that end alike.  why_cause::none when none does.
why_cause known_cause(const read_slot& slot, const run_record& run, why_text& why) {
    if (!slot.start_failure.text.empty()) {
        say(why, "its program never ran: %s", shown(slot.start_failure.text));
        return why_cause::start_failure;
    }
    const char* path = own_task_path(slot);
    if (const char* fault = executable_fault(path)) {
        say(why, "the executable %s %s", shown(path), fault);
        return why_cause::executable;
    }
    if (run.short_runs >= 2) {
        say(why, background_text, run.short_runs);
        return why_cause::background;
    }
    const bool ended_with_zero = run.end.kind == end_kind::code && run.end.value == 0;
    if (run.short_runs == 1 && ended_with_zero) {
        if (const pid_t pid = left_behind(slot)) {
            say(why,
                "ended with status 0 within one pass of starting, while pid %d of the same name "
                "lives on: a program that puts itself in the background does that, and "
                "vorn_restart needs its tasks in the foreground",
                static_cast<int>(pid));
            return why_cause::background;
        }
    }
    if (run.same_exits >= 2 && has_end(run.end)) {
        say(why, "restarted %lld times and ended with %s each time", run.same_exits,
            end_text(run.end).data());
        return why_cause::crash_loop;
    }
    return why_cause::none;
}

// A running slot whose latest runs all ended alike, or whose executable
// went missing under a run that failed to execute it.
why_cause explain_running(const read_slot& slot, why_text& why) {
    const run_record run = record_of(slot);
    const char* path = own_task_path(slot);
    const char* fault = executable_fault(path);
    if (fault && run.end.kind == end_kind::code && run.end.value == 255) {
        say(why, "the executable %s %s", shown(path), fault);
        return why_cause::executable;
    }
    if (run.short_runs >= 2) {
        say(why, background_text, run.short_runs);
        return why_cause::background;
    }
    if (run.same_exits >= 3 && has_end(run.end) &&
        !(run.end.kind == end_kind::code && run.end.value == 0)) {
        say(why,
            "running again, but restarted %lld times and ended with %s each time before: a "
            "crash loop",
            run.same_exits, end_text(run.end).data());
        return why_cause::crash_loop;
    }
    return why_cause::none;
}

// A child that has ended and waits for its reap: why it ended, as far as
// it is known, and what comes next.
why_cause explain_ended(const judged_slot& view, const read_end& zombie_end, why_text& why) {
    const read_slot& slot = *view.read;
    const bool zombie = view.child == child_check::zombie;
    if (zombie)
        say(why,
            "recorded as running as pid %lld, but that process has ended and waits for "
            "vorn_restart to reap it: ",
            slot.pid.value);
    const run_record run = zombie ? with_zombie_end(slot, zombie_end) : record_of(slot);
    why_cause cause = known_cause(slot, run, why);
    if (cause == why_cause::none && zombie && has_end(zombie_end)) {
        say(why, "it ended with %s", end_text(zombie_end).data());
        cause = why_cause::exit;
    }
    if (cause == why_cause::none && !zombie) {
        say(why, "ended, and is started again after its reap at a coming pass");
        return why_cause::ended;
    }
    if (cause == why_cause::none) say(why, "it ended");
    say(why, "; %s", is_once(slot) ? "a once task is not started again" : reaped_later);
    return cause == why_cause::none ? why_cause::ended : cause;
}

// A child the file calls running that is no such child: reaped since the
// file was written, or never seen.  The cause its record tells follows.
void explain_gone(const judged_slot& view, why_text& why) {
    const std::array<char, 32> pid = number_shown(view.read->pid);
    if (view.child == child_check::not_child)
        say(why,
            "recorded as running as pid %s, but that pid is now a process vorn_restart did not "
            "start",
            pid.data());
    else
        say(why, "recorded as running as pid %s, but there is no such process", pid.data());
    why_text cause{};
    if (known_cause(*view.read, record_of(*view.read), cause) != why_cause::none)
        say(why, ": %s", cause.data());
}

// A child that has not executed the task's program yet: no task runs, and
// the slot is judged by its last ends, as one that starts.
why_cause explain_not_executed(const read_slot& slot, why_text& why) {
    say(why,
        "recorded as running as pid %lld, but that process has not executed the task's program "
        "yet: ",
        slot.pid.value);
    const why_cause cause = known_cause(slot, record_of(slot), why);
    if (cause != why_cause::none) return cause;
    say(why, "it is starting");
    return why_cause::starting;
}

// A slot that is due and does not run, in a state other than exited.
why_cause explain_due(const read_slot& slot, why_text& why) {
    if (slot.state_known && slot.state == slot_state::waiting) {
        const why_cause cause = known_cause(slot, record_of(slot), why);
        if (cause != why_cause::none) return cause;
        say(why, "starts at the next pass");
        return why_cause::waiting;
    }
    if (slot.state_known && slot.state == slot_state::held_back) {
        if (slot.marker.text.empty())
            say(why, "held back by a not-run marker");
        else
            say(why, "held back by marker %s", shown(slot.marker.text));
        return why_cause::held_back;
    }
    if (slot.state_known && slot.state == slot_state::refused) {
        const std::string_view reason = slot.settings.refused.text;
        say(why, "refused, never started: %s", reason.empty() ? "no reason given" : shown(reason));
        return why_cause::refused;
    }
    say(why, "its state \"%s\" is not one this checker knows", shown(slot.state_name.text));
    return why_cause::unknown_state;
}

// Held down by the operator: by whom, since when, and how it ends.
void explain_stopped(const read_slot& slot, why_text& why) {
    say(why, "stopped by the operator");
    if (slot.stopped_by.ok()) say(why, " (uid %lld)", slot.stopped_by.value);
    if (slot.stopped_since_boot.ok() && judged.facts.boot_now >= slot.stopped_since_boot.value)
        say(why, " %lld s ago", judged.facts.boot_now - slot.stopped_since_boot.value);
    say(why, "; vorn_restart_ctl start %s starts it again", shown(slot.name.text));
}

// The slot's why-line, when it has one.  log_shown: its log may tell
// more (it should run and does not, or its runs end alike).
void explain(judged_slot& view, const read_end& zombie_end) {
    const read_slot& slot = *view.read;
    const bool known = slot.state_known;
    view.why[0] = '\0';
    view.cause = why_cause::none;
    view.log_shown = true;
    if (view.child == child_check::zombie) {
        view.cause = explain_ended(view, zombie_end, view.why);
    } else if (view.child == child_check::gone || view.child == child_check::not_child) {
        explain_gone(view, view.why);
        view.cause =
            view.child == child_check::gone ? why_cause::no_process : why_cause::not_a_child;
    } else if (view.child == child_check::not_executed) {
        view.cause = explain_not_executed(slot, view.why);
    } else if (view.child == child_check::live) {
        view.cause = explain_running(slot, view.why);
        view.log_shown = view.cause != why_cause::none;
    } else if (known && slot.state == slot_state::exited) {
        if (view.due) view.cause = explain_ended(view, {}, view.why);
        view.log_shown = view.due;
    } else if (known && slot.state == slot_state::stopped) {
        explain_stopped(slot, view.why);
        view.cause = why_cause::stopped;
        view.log_shown = false;
    } else if (known && slot.state == slot_state::off && is_once(slot)) {
        say(view.why,
            "mode once, not started in this turn: it had not started when the first task of the "
            "turn ended, and a once task is not started after that; it runs at the next turn");
        view.cause = why_cause::once_not_started;
        view.log_shown = false;
    } else if (view.due) {
        view.cause = explain_due(slot, view.why);
        view.log_shown = view.cause != why_cause::refused;
    } else {
        view.log_shown = false;
    }
}

const char* state_shown(const judged_slot& view) {
    switch (view.child) {
        case child_check::gone:
        case child_check::not_child: return "gone";
        case child_check::zombie: return slot_state_name(slot_state::exited);
        case child_check::not_executed: return "starting";
        case child_check::not_running:
        case child_check::live: break;
    }
    return nullptr;  // the file's own word
}

// The cgroup the file names is read only when it is the task's own cgroup
// in the container of the running supervisor, below this system's cgroup2
// mount: the file could name any directory.
unit_tracking tracking_of(const read_slot& slot, cgroup_path& dir) {
    const std::string_view tracked = slot.unit_tracked.text;
    if (tracked == tracked_process_tree) return unit_tracking::process_tree;
    // A cgroup not made yet (the task never started in this run): nothing to read.
    if (tracked != tracked_cgroup || slot.unit_cgroup.text.empty()) return unit_tracking::unknown;
    if (!task_cgroup_proven(slot.unit_cgroup.text, slot.name.text, judged.facts.pid, dir))
        return unit_tracking::refused;
    return unit_tracking::cgroup;
}

void judge_unit(judged_unit& unit, const read_slot& slot, pid_t main) {
    cgroup_path dir{}, mount{};
    unit.tracking = tracking_of(slot, dir);
    unit.leftover_count = -1;
    if (unit.tracking == unit_tracking::cgroup && find_cgroup2_mount(mount)) {
        unit.usage = cgroup_usage(mount.data(), dir.data());
        unit.leftover_count = cgroup_leftovers(mount.data(), dir.data(), main,
                                               unit.leftovers.data(), unit.leftovers.size());
    } else if (unit.tracking == unit_tracking::process_tree) {
        unit.usage = process_tree_usage(main);
    }
    for (long i = 0; i < unit.leftover_count && i < static_cast<long>(leftovers_shown); ++i) {
        const auto n = static_cast<std::size_t>(i);
        process_name(unit.leftovers[n].pid, unit.leftover_names[n].data(),
                     unit.leftover_names[n].size());
    }
}

}  // namespace

void judge_slot(judged_slot& view, const read_slot& slot) {
    view = judged_slot{};
    view.read = &slot;
    read_end zombie_end{};
    const bool running = slot.state_known && slot.state == slot_state::running;
    view.child = running ? check_child(slot, &zombie_end) : child_check::not_running;
    view.state = state_shown(view);
    const bool ended =
        view.child == child_check::zombie || (slot.state_known && slot.state == slot_state::exited);
    if (ended)
        view.due = !is_once(slot);  // a once task is not started again
    else if (running)
        view.due = view.child != child_check::live;
    else
        view.due = !(slot.state_known &&
                     (slot.state == slot_state::ended || slot.state == slot_state::off ||
                      slot.state == slot_state::stopped));
    explain(view, zombie_end);
    // Caught between its fork and its exec with nothing known against it:
    // the task starts, as it should.
    if (view.child == child_check::not_executed && view.cause == why_cause::starting)
        view.due = false;
    judge_unit(view.unit, slot,
               view.child == child_check::live ? static_cast<pid_t>(slot.pid.value) : 0);
}

std::array<char, 32> number_shown(const number& n) {
    std::array<char, 32> text{};
    if (n.kind == number_kind::absent)
        copy_text(text, "-");
    else if (!n.ok())
        copy_text(text, "invalid");
    else
        format_text(text.data(), text.size(), "%lld", n.value);
    return text;
}

}  // namespace vorn
