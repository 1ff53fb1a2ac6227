// Judging the status file against /proc (see status_judge.hpp).
#include "check/status_judge.hpp"

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
#include "check/status_slots.hpp"

namespace vorn {

judged_status judged{};

namespace {

void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

void warn(const char* format, ...) {
    if (judged.warning_count == status_warnings_max) return;
    auto& warning = judged.warnings[judged.warning_count];
    std::va_list args;
    va_start(args, format);
    const bool fits = vformat_text(warning.data(), warning.size(), format, args);
    va_end(args);
    if (fits) ++judged.warning_count;
}

// Whether an executable killall lies in one of the directories of `path`
// (a PATH value; empty entries mean the current directory, as for execvp).
bool killall_on(std::string_view path) {
    while (true) {
        const std::size_t end = path.find(':');
        const std::string_view dir = head(path, end);
        std::array<char, 1024> file{};
        const std::string_view base = dir.empty() ? std::string_view(".") : dir;
        if (format_text(file.data(), file.size(), "%.*s/killall", static_cast<int>(base.size()),
                        base.data()) &&
            examine_executable(file.data()) == executable_state::yes)
            return true;
        if (end == std::string_view::npos) return false;
        path = tail_from(path, end + 1);
    }
}

// PATH in the supervisor's environment; false when it cannot be read.
// Without PATH, execvp and posix_spawnp search /bin and /usr/bin.
std::array<char, 32768> environment_text{};
bool supervisor_path(std::string_view* path) {
    std::array<char, 64> file{};
    format_text(file.data(), file.size(), "/proc/%d/environ", static_cast<int>(judged.facts.pid));
    const long n = sys.read_file(file.data(), environment_text.data(), environment_text.size());
    if (n <= 0) return false;
    std::string_view rest(environment_text.data(), static_cast<std::size_t>(n));
    while (!rest.empty()) {
        const std::size_t end = rest.find('\0');
        const std::string_view entry = head(rest, end);
        if (head(entry, 5) == "PATH=") {
            *path = tail_from(entry, 5);
            return true;
        }
        if (end == std::string_view::npos) break;
        rest = tail_from(rest, end + 1);
    }
    // The whole environment was read and has no PATH; a cut one tells nothing.
    if (static_cast<std::size_t>(n) == environment_text.size()) return false;
    *path = "/bin:/usr/bin";
    return true;
}

// Whether pid is `ancestor` or below it (parents followed 64 generations up).
bool descends_from(pid_t pid, pid_t ancestor) {
    for (int depth = 0; ancestor > 0 && pid > 1 && depth < 64; ++depth) {
        if (pid == ancestor) return true;
        pid = read_process_stat(pid).parent;
    }
    return false;
}

// The slots' logs as files, each with its slot; their count.
struct slot_logs {
    std::array<file_identity, task_slot_count> files;
    std::array<std::size_t, task_slot_count> slots;
};
std::size_t find_slot_logs(const log_place& place, slot_logs& logs) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < judged.slot_count; ++i) {
        const std::string_view name = judged.slots[i].read->name.text;
        std::array<char, setting_size + task_name_size + 8> path{};
        struct stat info {};
        std::array<char, 1> none{};
        if (log_name_fault(name) ||
            !format_text(path.data(), path.size(), "%s%.*s.log", place.dir,
                         static_cast<int>(name.size()), name.data()) ||
            sys.read_file_info(path.data(), none.data(), 0, &info) < 0 || !S_ISREG(info.st_mode))
            continue;
        logs.files[count] = {info.st_dev, info.st_ino};
        logs.slots[count++] = i;
    }
    return count;
}

// A log written to by a process that is neither the supervisor nor its
// slot's running child (nor below that child): what a task left running
// writes there after its end.  The supervisor keeps such a log within its
// bound, but the task's own lines are lost among the stranger's.
void warn_log_writers(const log_place& place) {
    slot_logs logs{};
    const std::size_t count = judged.logs == logs_kept::yes ? find_slot_logs(place, logs) : 0;
    if (count == 0) return;
    std::array<pid_t, task_slot_count> stranger{};
    std::array<unsigned long long, task_slot_count> started{};
    const pid_t* pids = nullptr;
    const long listed = list_processes_now(&pids);
    for (long p = 0; p < listed; ++p) {
        if (pids[p] == judged.facts.pid) continue;
        const unsigned long bits = sys.files_written_by(pids[p], logs.files.data(), count);
        for (std::size_t i = 0; bits != 0 && i < count; ++i) {
            const judged_slot& view = judged.slots[logs.slots[i]];
            const pid_t child = view.child == child_check::live && view.read->pid.ok()
                                    ? static_cast<pid_t>(view.read->pid.value)
                                    : 0;
            if ((bits & (1UL << i)) == 0 || descends_from(pids[p], child)) continue;
            // The oldest that is still there: what the task left behind,
            // not what that forks and ends meanwhile, whatever their pids.
            const process_stat stat = read_process_stat(pids[p]);
            if (stat.state == '\0' || stat.state == 'Z' || stat.state == 'X' ||
                (stranger[i] != 0 && stat.start_ticks >= started[i]))
                continue;
            stranger[i] = pids[p];
            started[i] = stat.start_ticks;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (stranger[i] == 0) continue;
        std::array<char, 64> comm{};
        examine_process(stranger[i], comm.data(), comm.size());
        const std::string_view name = judged.slots[logs.slots[i]].read->name.text;
        warn(
            "the log of %s is written to by pid %d (%s), which is not its running child: a "
            "process its task left behind writes there",
            shown(name), static_cast<int>(stranger[i]), shown(comm.data()));
    }
}

void judge_warnings() {
    const status_reading& reading = judged.reading;
    if (reading.log_problem.given)
        warn("vorn_restart keeps no task logs: %s", shown(reading.log_problem.text));
    if (judged.logs == logs_kept::unusable)
        warn(
            "the log directory in the status file is not an absolute path ending in '/': the "
            "task logs are not shown (give --log_path)");
    if (reading.kill_works == truth::no)
        warn(
            "vorn_restart cannot run killall (%s): stale copies of its tasks are not killed at "
            "each turn",
            reading.kill_problem.text.empty() ? "?" : shown(reading.kill_problem.text));
    if (reading.oom_works == truth::no)
        warn("vorn_restart is not protected from the OOM killer: the kernel refused -1000 (%s)",
             reading.oom_problem.text.empty() ? "?" : shown(reading.oom_problem.text));
    std::string_view path;
    if (supervisor_path(&path) && !killall_on(path))
        warn(
            "no killall on vorn_restart's PATH (%s): stale copies of its tasks are not killed at "
            "each turn (install psmisc)",
            shown(path));
}

int exit_status_of() {
    if (judged.stopped || judged.hung) return status_exit_degraded;
    if (judged.reading.usable != truth::yes) return status_exit_degraded;
    for (std::size_t i = 0; i < judged.slot_count; ++i)
        if (judged.slots[i].due) return status_exit_degraded;
    return status_exit_running;
}

// The supervisor's log directory as the file names it.
setting_text document_log_path{};

}  // namespace

logs_kept log_place_of(const status_reading& reading, uid_t owner, log_place* place) {
    place->owner = owner;
    if (check_line.log_path_given) {
        place->dir = log_path.data();
        return is_empty(log_path) ? logs_kept::no : logs_kept::yes;
    }
    document_log_path.fill('\0');
    place->dir = document_log_path.data();
    if (reading.log_path_is == log_path_kind::none) return logs_kept::no;
    // A directory the supervisor refused or lost is not read, whatever the
    // file names: what is there now is not what it checked.
    if (reading.log_problem.given) return logs_kept::no;
    const std::string_view dir = reading.log_path.text;
    setting_text named{};
    // Taken whole, as the supervisor takes its option ("/x//" is "/x/").
    if (reading.log_path_is != log_path_kind::text || dir.empty() ||
        dir.size() > log_path_max + 1 || dir.front() != '/' || dir.back() != '/' ||
        dir.find('\0') != std::string_view::npos || !copy_text(named, dir) ||
        tidy_directory(named.data(), document_log_path) != path_result::ok)
        return logs_kept::unusable;
    return logs_kept::yes;
}

void read_judged_status() {
    judged.warning_count = 0;
    judged.slot_count = 0;
    judged.stopped = judged.hung = false;
    judged.live = read_live_status(&judged.reading, &judged.facts, &judged.absence);
    judged.exit_status = judged.absence.status;
}

void judge_status() {
    if (!judged.live) return;
    judged.stopped = judged.facts.state == 'T' || judged.facts.state == 't';
    judged.hung = judged.facts.pass_age > status_stale_seconds;
    judged.slot_count = judged.reading.slot_count;
    log_place place{};
    judged.logs = log_place_of(judged.reading, judged.facts.owner, &place);
    for (std::size_t i = 0; i < judged.slot_count; ++i) {
        judged_slot& view = judged.slots[i];
        judge_slot(view, judged.reading.slots[i]);
        view.log_shown = view.log_shown && judged.logs == logs_kept::yes;
        if (view.log_shown) read_status_log_tail(place, view.read->name.text, &view.tail);
    }
    judge_warnings();
    warn_log_writers(place);
    judged.exit_status = exit_status_of();
}

}  // namespace vorn
