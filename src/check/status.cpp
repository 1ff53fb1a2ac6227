#include "check/status.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <jansson.h>

#include "base/messages.hpp"
#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/kill_listing.hpp"
#include "check/report.hpp"
#include "check/shell_quote.hpp"
#include "check/task_log.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

// The format this checker reads.
constexpr long long read_format = 2;

// One byte more than is read from a usable file: a file that fills it is
// larger than the limit.
std::array<char, status_read_limit + 1> status_text{};
std::size_t status_length = 0;
struct stat status_info {};

// Why there is no live supervisor, or why that cannot be told, and the
// exit status that goes with it.
std::array<char, 2048> absence{};
int absence_status = status_exit_unknown;

using short_text = std::array<char, 32>;

const char background_text[] =
    "ended with status 0 within one pass of starting, %lld times in a row: a program that puts "
    "itself in the background does that, and vorn_restart needs its tasks in the foreground\n";

void note_absence(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

void note_absence(int status, const char* format, ...) {
    absence_status = status;
    std::va_list args;
    va_start(args, format);
    if (!vformat_text(absence.data(), absence.size(), format, args))
        copy_text(absence, "the status file cannot be used");
    va_end(args);
}

// Numbers from the file are only used within these bounds, so that no
// arithmetic on them can overflow; anything else shows as invalid.
constexpr long long time_max = 1LL << 40;  // seconds, by either clock
constexpr long long count_max = UINT32_MAX;
constexpr long long pid_max = INT32_MAX;
constexpr long long ticks_max = 1LL << 60;
// Where /proc/self is emulated (qemu-user rewrites /proc/self/stat, with a
// start time taken when the emulator itself got going), the supervisor's
// own record of its start may be some ticks later than what the kernel
// shows everyone else.  Another process at the same pid, started within
// a second of the recorded moment, is no real risk: the pid would have had
// to come round in that second.
constexpr long long start_ticks_slack = 100;

enum class number_kind { absent, ok, invalid };

struct number {
    number_kind kind;
    long long value;
    bool ok() const { return kind == number_kind::ok; }
};

// The integer under key when it lies within [low, high]; null or missing
// is absent, anything else invalid.
number number_of(const json_t* object, const char* key, long long low, long long high) {
    const json_t* value = json_object_get(object, key);
    if (!value || json_is_null(value)) return {number_kind::absent, 0};
    if (!json_is_integer(value)) return {number_kind::invalid, 0};
    const json_int_t n = json_integer_value(value);
    if (n < low || n > high) return {number_kind::invalid, 0};
    return {number_kind::ok, static_cast<long long>(n)};
}

long long count_of(const json_t* object, const char* key) {
    const number n = number_of(object, key, 0, count_max);
    return n.ok() ? n.value : 0;
}

std::string_view text_of(const json_t* object, const char* key) {
    const json_t* value = json_object_get(object, key);
    if (!json_is_string(value)) return {};
    return {json_string_value(value), json_string_length(value)};
}

// What the checker relies on; any other value of the wrong type shows as
// not known where it is printed.
bool is_status_document(const json_t* document, const char* path) {
    const number format = number_of(document, "format", 1, INT32_MAX);
    if (!json_is_object(document) || !format.ok()) {
        note_absence(status_exit_unknown, "%s is not a vorn_restart status file", shown(path));
        return false;
    }
    if (format.value != read_format) {
        note_absence(status_exit_unknown,
                     "%s is of format %lld, which this checker does not read (it reads format "
                     "%lld): use the vorn_restart_check installed with the running vorn_restart",
                     shown(path), format.value, read_format);
        return false;
    }
    const json_t* configuration = json_object_get(document, "configuration");
    const json_t* slots = json_object_get(document, "slots");
    bool usable = number_of(document, "pid", 1, pid_max).ok() && json_is_object(configuration) &&
                  json_is_array(slots) && json_array_size(slots) <= task_slot_count;
    for (std::size_t i = 0; usable && i < json_array_size(slots); ++i)
        usable = json_is_object(json_array_get(slots, i));
    if (!usable)
        note_absence(status_exit_unknown,
                     "%s is not a vorn_restart status file of format %lld: a member is missing "
                     "or out of range",
                     shown(path), read_format);
    return usable;
}

// Only a file that no one but root or the user running the checker can
// have written is believed.
bool is_trusted(const char* path) {
    const uid_t self = ::geteuid();
    if (!S_ISREG(status_info.st_mode)) {
        note_absence(status_exit_unknown, "%s is not a regular file", shown(path));
        return false;
    }
    if (status_info.st_uid != 0 && status_info.st_uid != self) {
        note_absence(status_exit_unknown,
                     "%s is owned by user %u, neither root nor the user running this check: "
                     "not trusted",
                     shown(path), static_cast<unsigned>(status_info.st_uid));
        return false;
    }
    if ((status_info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        note_absence(status_exit_unknown,
                     "%s can be written by %s: not trusted (vorn_restart writes it with mode 0644)",
                     shown(path), (status_info.st_mode & S_IWOTH) != 0 ? "anyone" : "its group");
        return false;
    }
    return true;
}

// The status path a vorn_restart was started with, by its command line
// (words NUL-separated) as its option parser reads it: --status_path=<file>
// or --status_path <file>, the name shortened to any prefix getopt_long
// takes for it; the default when there is none.  The last one counts.
std::array<char, status_path_size> started_path{};
const char* status_path_of(std::string_view cmdline) {
    // Its own default, chosen by the same rule as the checker's.
    copy_text(started_path, default_status_path_here());
    bool value_next = false;
    for (bool first = true; !cmdline.empty(); first = false) {
        const std::size_t end = cmdline.find('\0');
        const std::string_view word = head(cmdline, end);
        cmdline = end == std::string_view::npos ? std::string_view() : tail_from(cmdline, end + 1);
        if (value_next) {
            copy_text(started_path, word);
            value_next = false;
            continue;
        }
        if (first || head(word, 2) != "--") continue;
        if (word == "--") break;
        const std::string_view option = tail_from(word, 2);
        const std::size_t equals = option.find('=');
        const std::string_view name = head(option, equals);
        // "s" is already unique among the supervisor's long options.
        if (name.empty() || head(std::string_view("status_path"), name.size()) != name) continue;
        if (equals == std::string_view::npos)
            value_next = true;
        else
            copy_text(started_path, tail_from(option, equals + 1));
    }
    return started_path.data();
}

std::array<char, 8192> cmdline_text{};

// A live vorn_restart of the user `owner` (this process left out) that
// publishes at `path`; 0 when none does.  *elsewhere: one that publishes
// somewhere else.
pid_t find_supervisor_process(uid_t owner, const char* path, pid_t* elsewhere) {
    const pid_t* process_list = nullptr;
    const long listed = list_processes_now(&process_list);
    const pid_t self = ::getpid();
    *elsewhere = 0;
    for (long i = 0; i < listed; ++i) {
        const pid_t pid = process_list[i];
        std::array<char, 64> comm{};
        uid_t uid = 0;
        if (pid == self ||
            examine_process(pid, comm.data(), comm.size()) != process_kind::supervisor ||
            !process_owner(pid, &uid) || uid != owner)
            continue;
        std::array<char, 64> file{};
        format_text(file.data(), file.size(), "/proc/%d/cmdline", static_cast<int>(pid));
        const long n = sys.read_file(file.data(), cmdline_text.data(), cmdline_text.size());
        const std::string_view cmdline(cmdline_text.data(),
                                       n > 0 ? static_cast<std::size_t>(n) : 0);
        if (std::strcmp(status_path_of(cmdline), path) == 0) return pid;
        *elsewhere = pid;
    }
    return 0;
}

// No status file: is a supervisor running all the same?
void note_missing_file(const char* path, int error) {
    pid_t elsewhere = 0;
    const pid_t running = find_supervisor_process(::geteuid(), path, &elsewhere);
    if (running == 0 && elsewhere != 0) {
        note_absence(status_exit_absent,
                     "cannot read %s: %s (vorn_restart pid %d publishes its status elsewhere, at "
                     "%s: give that --status_path here to ask it)",
                     shown(path), std::strerror(error), static_cast<int>(elsewhere),
                     shown(started_path.data()));
        return;
    }
    if (running == 0) {
        note_absence(status_exit_absent, "cannot read %s: %s", shown(path), std::strerror(error));
        return;
    }
    note_absence(status_exit_unknown,
                 "vorn_restart runs as pid %d but publishes no status at %s: it was started with "
                 "another --status_path (give the same one here) or an empty one, or it cannot "
                 "write there (a missing or read-only directory, a full file system: it says why "
                 "on its standard error, seen with -d)",
                 static_cast<int>(running), shown(path));
}

json_document load_status() {
    const char* path = status_path.data();
    if (path[0] == '\0') {
        note_absence(status_exit_unknown,
                     "--status_path is empty: vorn_restart publishes no status");
        return nullptr;
    }
    status_info = {};
    const long n = sys.read_file_info(path, status_text.data(), status_text.size(), &status_info);
    if (n < 0) {
        const int error = errno;
        if (error == ENOENT)
            note_missing_file(path, error);
        else if (error == ELOOP)
            note_absence(status_exit_unknown, "%s is a symbolic link: not trusted", shown(path));
        else
            note_absence(status_exit_unknown, "cannot read %s: %s", shown(path),
                         std::strerror(error));
        return nullptr;
    }
    if (!is_trusted(path)) return nullptr;
    if (n == 0) {
        note_absence(status_exit_unknown, "%s is empty", shown(path));
        return nullptr;
    }
    if (static_cast<std::size_t>(n) > status_read_limit) {
        note_absence(status_exit_unknown, "%s is larger than %lu bytes: not trusted", shown(path),
                     status_read_limit);
        return nullptr;
    }
    status_length = static_cast<std::size_t>(n);
    json_error_t error;
    json_document document{
        json_loadb(status_text.data(), status_length, JSON_REJECT_DUPLICATES, &error)};
    if (!document) {
        note_absence(status_exit_unknown, "%s does not parse: line %d, column %d: %s", shown(path),
                     error.line, error.column, shown(error.text));
    } else if (!is_status_document(document.get(), path)) {
        document.reset();
    }
    return document;
}

// What is known of the supervisor that wrote the file.
struct supervisor_view {
    pid_t pid;
    char state;            // its state letter now
    long long pass_age;    // seconds since its last pass, -1 when not known
    std::time_t boot_now;  // the boot clock now
};
supervisor_view supervisor{};

bool proc_readable() {
    std::array<char, 512> text{};
    return sys.read_file("/proc/self/stat", text.data(), text.size()) > 0;
}

// Whether the process at the recorded pid is the supervisor that wrote the
// file: a vorn_restart, started when the file says, of the file's owner.
bool supervisor_lives(const json_t* document) {
    const char* path = shown(status_path.data());
    const auto pid = static_cast<pid_t>(number_of(document, "pid", 1, pid_max).value);
    supervisor.pid = pid;
    std::array<char, 64> comm{};
    const process_kind kind = examine_process(pid, comm.data(), comm.size());
    if (kind == process_kind::ended && !proc_readable()) {
        note_absence(status_exit_unknown,
                     "cannot tell whether vorn_restart pid %d lives: /proc cannot be read",
                     static_cast<int>(pid));
        return false;
    }
    if (kind == process_kind::ended) {
        note_absence(status_exit_absent, "%s was left by vorn_restart pid %d, which has ended",
                     path, static_cast<int>(pid));
        return false;
    }
    if (kind == process_kind::other) {
        note_absence(status_exit_absent,
                     "%s was left by vorn_restart pid %d, which has ended: pid %d is now %s", path,
                     static_cast<int>(pid), static_cast<int>(pid), shown(comm.data()));
        return false;
    }
    const number recorded = number_of(document, "start_ticks", 1, ticks_max);
    if (!recorded.ok()) {
        note_absence(status_exit_unknown,
                     "%s records no start time of vorn_restart pid %d: cannot tell it from "
                     "another process that took its pid",
                     path, static_cast<int>(pid));
        return false;
    }
    const process_stat stat = read_process_stat(pid);
    // Both at most 2^60: the difference cannot overflow.
    const long long drift = static_cast<long long>(stat.start_ticks) - recorded.value;
    uid_t owner = 0;
    if (stat.start_ticks == 0 || drift < -start_ticks_slack || drift > start_ticks_slack ||
        !process_owner(pid, &owner) || owner != status_info.st_uid) {
        note_absence(status_exit_absent,
                     "%s was left by vorn_restart pid %d, which has ended: pid %d is now another "
                     "vorn_restart (started at another time, or of another user)",
                     path, static_cast<int>(pid), static_cast<int>(pid));
        return false;
    }
    supervisor.state = stat.state;
    return true;
}

// How old the file's pass mark is: the supervisor sets its modification
// time to the boot clock at every pass.  False when the mark is not one
// it can have set.
bool read_pass_mark() {
    supervisor.boot_now = sys.boot_seconds();
    const long long mark = status_info.st_mtim.tv_sec;
    if (mark < 0 || mark > time_max || mark > supervisor.boot_now + 2) {
        note_absence(status_exit_unknown,
                     "the modification time of %s is not a pass mark of vorn_restart's (it sets "
                     "it to the time since boot at every pass): the status cannot be trusted",
                     shown(status_path.data()));
        return false;
    }
    // A mark up to 2 s ahead is the same moment seen through coarser clocks.
    supervisor.pass_age = mark < supervisor.boot_now ? supervisor.boot_now - mark : 0;
    return true;
}

bool stopped() { return supervisor.state == 'T' || supervisor.state == 't'; }
bool hung() { return supervisor.pass_age > status_stale_seconds; }

// A slot as the checker judges it now.
enum class child_check { not_running, live, gone, zombie, not_child };

struct slot_view {
    const json_t* slot;
    std::string_view state;  // as the file says
    child_check child;
    bool due;  // should run, and does not
};
std::array<slot_view, task_slot_count> views{};
std::size_t view_count = 0;

bool is_once(const json_t* slot) { return text_of(slot, "mode") == "once"; }

// A process the file calls running must be a live child of the supervisor.
child_check check_child(const json_t* slot) {
    const number pid = number_of(slot, "pid", 1, pid_max);
    if (!pid.ok()) return child_check::gone;
    const process_stat stat = read_process_stat(static_cast<pid_t>(pid.value));
    if (stat.state == '\0') return child_check::gone;
    if (stat.state == 'Z' || stat.state == 'X') return child_check::zombie;
    if (stat.parent != supervisor.pid) return child_check::not_child;
    return child_check::live;
}

void judge_slots(const json_t* document) {
    const json_t* slots = json_object_get(document, "slots");
    view_count = json_array_size(slots);
    for (std::size_t i = 0; i < view_count; ++i) {
        slot_view& view = views[i];
        view.slot = json_array_get(slots, i);
        view.state = text_of(view.slot, "state");
        view.child = view.state == "running" ? check_child(view.slot) : child_check::not_running;
        if (view.state == "running")
            view.due = view.child != child_check::live;
        else if (view.state == "exited")
            view.due = !is_once(view.slot);  // a once task is not started again
        else
            view.due = view.state != "ended" && view.state != "off";
    }
}

int exit_status_of(const json_t* document) {
    if (stopped() || hung()) return status_exit_degraded;
    if (!json_is_true(json_object_get(json_object_get(document, "configuration"), "usable")))
        return status_exit_degraded;
    for (std::size_t i = 0; i < view_count; ++i)
        if (views[i].due) return status_exit_degraded;
    return status_exit_running;
}

short_text dash() {
    short_text text{};
    copy_text(text, "-");
    return text;
}

short_text invalid() {
    short_text text{};
    copy_text(text, "invalid");
    return text;
}

// "3d04h", "2h05m", "4m10s", "12s".
short_text duration(long long seconds) {
    short_text text{};
    if (seconds >= 86400)
        format_text(text.data(), text.size(), "%lldd%02lldh", seconds / 86400,
                    seconds % 86400 / 3600);
    else if (seconds >= 3600)
        format_text(text.data(), text.size(), "%lldh%02lldm", seconds / 3600, seconds % 3600 / 60);
    else if (seconds >= 60)
        format_text(text.data(), text.size(), "%lldm%02llds", seconds / 60, seconds % 60);
    else
        format_text(text.data(), text.size(), "%llds", seconds);
    return text;
}

// Time since the boot-clock moment under key; "-" when not known.
short_text time_since(const json_t* object, const char* key) {
    const number at = number_of(object, key, 0, time_max);
    if (at.kind == number_kind::absent) return dash();
    if (!at.ok() || at.value > supervisor.boot_now) return invalid();
    return duration(supervisor.boot_now - at.value);
}

short_text number_text(const json_t* object, const char* key, long long low, long long high) {
    const number n = number_of(object, key, low, high);
    short_text text{};
    if (n.kind == number_kind::absent) return dash();
    if (!n.ok()) return invalid();
    format_text(text.data(), text.size(), "%lld", n.value);
    return text;
}

// The last exit as "code 1" or "signal 9"; kind "" when there is none.
struct exit_view {
    const char* kind;  // "code", "signal", or "" for none or one out of range
    long long value;
};

exit_view exit_of(const json_t* slot) {
    const json_t* last_exit = json_object_get(slot, "last_exit");
    const number code = number_of(last_exit, "code", 0, 255);
    if (code.ok()) return {"code", code.value};
    const number signal = number_of(last_exit, "signal", 1, 127);
    if (signal.ok()) return {"signal", signal.value};
    return {"", 0};
}

short_text exit_text(const json_t* slot) {
    const exit_view end = exit_of(slot);
    if (end.kind[0] == '\0')
        return json_is_object(json_object_get(slot, "last_exit")) ? invalid() : dash();
    short_text text{};
    format_text(text.data(), text.size(), "%s %lld", end.kind, end.value);
    return text;
}

bool has_exit(const json_t* slot) { return exit_of(slot).kind[0] != '\0'; }
bool ended_with_zero(const json_t* slot) {
    const exit_view end = exit_of(slot);
    return std::strcmp(end.kind, "code") == 0 && end.value == 0;
}

const char* state_shown(const slot_view& view) {
    switch (view.child) {
        case child_check::gone: return "gone";
        case child_check::zombie: return "exited";
        case child_check::not_child: return "gone";
        case child_check::not_running:
        case child_check::live: break;
    }
    return shown(view.state);
}

void print_header(const json_t* document) {
    std::printf("vorn_restart pid %d, up %s, turn %s, last pass %s ago\n",
                static_cast<int>(supervisor.pid), time_since(document, "started_boot").data(),
                number_text(document, "turn", 0, count_max).data(),
                duration(supervisor.pass_age).data());
    if (stopped())
        std::printf(
            "vorn_restart is stopped (state %c): it starts and reaps nothing until it is "
            "continued (kill -CONT %d)\n",
            supervisor.state, static_cast<int>(supervisor.pid));
    else if (hung())
        std::printf(
            "no pass for %lld s: the supervisor is stopped or hung, or cannot update its status "
            "file; what follows is as of then\n",
            supervisor.pass_age);
}

// The configuration line: the file the supervisor reads as it names it
// (only shown, never opened), and whether the check reads the same one.
void print_configuration(const json_t* document, const char* own_file) {
    const json_t* configuration = json_object_get(document, "configuration");
    const std::string_view named = text_of(configuration, "file");
    const char* file = named.empty() ? "?" : shown(named);
    if (json_is_true(json_object_get(configuration, "usable"))) {
        std::printf("configuration %s: usable\n", file);
    } else {
        std::printf("configuration %s: unusable, no task is started\n", file);
        const std::string_view problem = text_of(configuration, "problem");
        if (!problem.empty()) std::printf("  %s\n", shown(problem));
    }
    if (!named.empty() && named != own_file)
        std::printf("  (this check reads %s: give it the supervisor's --install_path)\n",
                    shown(own_file));
}

void print_table() {
    if (view_count == 0) return;
    std::puts("slot  name                  state      pid      uptime  starts  last exit");
    for (std::size_t i = 0; i < view_count; ++i) {
        const json_t* slot = views[i].slot;
        const bool live = views[i].child == child_check::live;
        std::printf("%-5s %-21s %-10s %-8s %-7s %-7s %s\n",
                    number_text(slot, "slot", 0, task_slot_count - 1).data(),
                    shown(text_of(slot, "name")), state_shown(views[i]),
                    number_text(slot, "pid", 1, pid_max).data(),
                    live ? time_since(slot, "since_boot").data() : "-",
                    number_text(slot, "starts", 0, count_max).data(), exit_text(slot).data());
    }
}

void print_slot_prefix(const json_t* slot) {
    std::printf("slot %s, %s: ", number_text(slot, "slot", 0, task_slot_count - 1).data(),
                shown(text_of(slot, "name")));
}

// The slot's executable as the checker's own configuration names it (the
// path in the file is never looked at); nullptr when the slot does not
// hold the same task there.
const char* own_task_path(const json_t* slot) {
    const number index = number_of(slot, "slot", 0, task_slot_count - 1);
    if (!index.ok()) return nullptr;
    const task_info& task = task_table[static_cast<std::size_t>(index.value)];
    if (task.task_name[0] == '\0' || text_view(task.task_name) != text_of(slot, "name"))
        return nullptr;
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

// A slot that is due and does not run: the likeliest reason first;
// `otherwise` when none is known.
void explain_not_running(const json_t* slot, const char* otherwise) {
    const long long same_exits = count_of(slot, "same_exits");
    const long long short_runs = count_of(slot, "short_runs");
    const char* path = own_task_path(slot);
    print_slot_prefix(slot);
    if (const char* fault = executable_fault(path))
        std::printf("the executable %s %s\n", shown(path), fault);
    else if (short_runs >= 2)
        std::printf(background_text, short_runs);
    else if (same_exits >= 2 && has_exit(slot))
        std::printf("restarted %lld times and ended with %s each time\n", same_exits,
                    exit_text(slot).data());
    else
        std::printf("%s\n", otherwise);
}

// A running slot whose latest runs all ended alike; true when a line says so.
bool explain_running(const json_t* slot) {
    const long long same_exits = count_of(slot, "same_exits");
    const long long short_runs = count_of(slot, "short_runs");
    if (short_runs >= 2) {
        print_slot_prefix(slot);
        std::printf(background_text, short_runs);
        return true;
    }
    if (same_exits >= 3 && has_exit(slot) && !ended_with_zero(slot)) {
        print_slot_prefix(slot);
        std::printf(
            "running again, but restarted %lld times and ended with %s each time before: a "
            "crash loop\n",
            same_exits, exit_text(slot).data());
        return true;
    }
    return false;
}

void explain_gone(const slot_view& view) {
    const json_t* slot = view.slot;
    print_slot_prefix(slot);
    const short_text pid_text = number_text(slot, "pid", 1, pid_max);
    const char* pid = pid_text.data();
    switch (view.child) {
        case child_check::zombie:
            std::printf(
                "recorded as running as pid %s, but that process has ended and waits for "
                "vorn_restart to reap it\n",
                pid);
            break;
        case child_check::not_child:
            std::printf(
                "recorded as running as pid %s, but that pid is now a process vorn_restart "
                "did not start\n",
                pid);
            break;
        default: std::printf("recorded as running as pid %s, but there is no such process\n", pid);
    }
}

// The slot's line, when it has one.  True when its log may tell more: the
// slot should run and does not, or its runs end alike.
bool explain(const slot_view& view) {
    const json_t* slot = view.slot;
    const std::string_view state = view.state;
    if (state == "running" && view.child != child_check::live) {
        explain_gone(view);
    } else if (state == "running") {
        return explain_running(slot);
    } else if (state == "exited" && view.due) {
        explain_not_running(slot, "ended, and is started again after its reap at a coming pass");
    } else if (state == "waiting") {
        explain_not_running(slot, "starts at the next pass");
    } else if (state == "held_back") {
        print_slot_prefix(slot);
        const std::string_view marker = text_of(slot, "marker");
        if (marker.empty())
            std::puts("held back by a not-run marker");
        else
            std::printf("held back by marker %s\n", shown(marker));
    } else if (state == "off" && is_once(slot)) {
        print_slot_prefix(slot);
        std::puts(
            "mode once, not started in this turn: it had not started when the first task of "
            "the turn ended, and a once task is not started after that; it runs at the next "
            "turn");
        return false;
    } else if (view.due) {
        print_slot_prefix(slot);
        std::printf("its state \"%s\" is not one this checker knows\n", shown(state));
    } else {
        return false;
    }
    return true;
}

// The supervisor's log directory as the file names it; empty when it keeps
// no logs or names one it cannot have taken (see log_place_of).
setting_text document_log_path{};

enum class logs_kept { no, yes, unusable };

// Where the task logs are: --log_path when given (empty: nowhere), else
// the directory the file names, which must be an absolute path ending in
// '/' that the supervisor's own setting could hold.
logs_kept log_place_of(const json_t* document, log_place* place) {
    place->owner = status_info.st_uid;
    if (check_line.log_path_given) {
        place->dir = log_path.data();
        return is_empty(log_path) ? logs_kept::no : logs_kept::yes;
    }
    document_log_path.fill('\0');
    place->dir = document_log_path.data();
    const json_t* value = json_object_get(document, "log_path");
    if (!value || json_is_null(value)) return logs_kept::no;
    const std::string_view dir = text_of(document, "log_path");
    if (!json_is_string(value) || dir.empty() || dir.size() > log_path_max + 1 ||
        dir.front() != '/' || dir.back() != '/' || dir.find('\0') != std::string_view::npos ||
        !copy_text(document_log_path, dir))
        return logs_kept::unusable;
    return logs_kept::yes;
}

void print_log_warnings(const json_t* document, logs_kept kept) {
    const json_t* problem = json_object_get(document, "log_problem");
    if (json_is_string(problem))
        std::printf("warning: vorn_restart keeps no task logs: %s\n",
                    shown(text_of(document, "log_problem")));
    if (kept == logs_kept::unusable)
        std::puts(
            "warning: the log directory in the status file is not an absolute path ending in "
            "'/': the task logs are not shown (give --log_path)");
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
    format_text(file.data(), file.size(), "/proc/%d/environ", static_cast<int>(supervisor.pid));
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

void print_kill_by_name(const json_t* document) {
    const json_t* kill = json_object_get(document, "kill_by_name");
    if (json_is_false(json_object_get(kill, "works"))) {
        const std::string_view problem = text_of(kill, "problem");
        std::printf(
            "warning: vorn_restart cannot run killall (%s): stale copies of its tasks are not "
            "killed at each turn\n",
            problem.empty() ? "?" : shown(problem));
    }
    std::string_view path;
    if (supervisor_path(&path) && !killall_on(path))
        std::printf(
            "warning: no killall on vorn_restart's PATH (%s): stale copies of its tasks are not "
            "killed at each turn (install psmisc)\n",
            shown(path));
}

// What the next turn kills by name, by the checker's own configuration
// file: one that has become unusable since the supervisor last read it is
// told too, since the next turn then starts nothing.
void print_next_kills(const char* own_file, bool own_usable, const config_problem& problem,
                      const json_t* live_document) {
    const json_t* configuration =
        live_document ? json_object_get(live_document, "configuration") : nullptr;
    if (!own_usable && (!configuration || json_is_true(json_object_get(configuration, "usable"))))
        print_config_problem(own_file, problem);
    print_kill_listing(live_document ? supervisor.pid : pid_t{0});
}

}  // namespace

namespace {

// The status file, when a live supervisor wrote it (else absence says why).
json_document load_live_status(bool* live) {
    absence.fill('\0');
    absence_status = status_exit_unknown;
    supervisor = supervisor_view{};
    supervisor.pass_age = -1;
    view_count = 0;
    json_document document = load_status();
    *live = document && supervisor_lives(document.get()) && read_pass_mark();
    return document;
}

const char* absence_verdict() {
    return absence_status == status_exit_absent ? "no live vorn_restart"
                                                : "the status of vorn_restart is not known";
}

}  // namespace

int report_status(const char* config_file, bool json) {
    bool live = false;
    const json_document document = load_live_status(&live);
    if (live) judge_slots(document.get());
    const char* verdict = absence_verdict();
    if (json) {
        if (!live) {
            complain("%s: %s", verdict, absence.data());
            return absence_status;
        }
        // Only the whole document is worth anything to a reader.
        if (std::fwrite(status_text.data(), 1, status_length, stdout) != status_length ||
            std::fflush(stdout) != 0) {
            complain("cannot write the status: %s", std::strerror(errno));
            return status_exit_unknown;
        }
        return exit_status_of(document.get());
    }
    // The checker's own configuration, never the one the file names.
    const char* own_file = config_file ? config_file : config_file_path();
    config_problem problem;
    const bool own_usable = configure_inert(config_file, &problem);
    if (!live) {
        std::printf("%s: %s\n", verdict, absence.data());
        print_next_kills(own_file, own_usable, problem, nullptr);
        return absence_status;
    }
    print_header(document.get());
    print_configuration(document.get(), own_file);
    print_table();
    log_place place{};
    const logs_kept kept = log_place_of(document.get(), &place);
    for (std::size_t i = 0; i < view_count; ++i)
        if (explain(views[i]) && kept == logs_kept::yes)
            print_status_log_tail(place, text_of(views[i].slot, "name"));
    print_log_warnings(document.get(), kept);
    print_kill_by_name(document.get());
    print_next_kills(own_file, own_usable, problem, document.get());
    return exit_status_of(document.get());
}

int report_log(const char* name, unsigned lines) {
    if (check_line.log_path_given) {
        if (is_empty(log_path)) {
            complain("--log_path is empty: vorn_restart keeps no task logs");
            return status_exit_degraded;
        }
        return print_task_log({log_path.data(), 0}, name, lines);
    }
    bool live = false;
    const json_document document = load_live_status(&live);
    if (!live) {
        complain("%s: %s (give the supervisor's --log_path to read its logs)", absence_verdict(),
                 absence.data());
        return absence_status;
    }
    log_place place{};
    switch (log_place_of(document.get(), &place)) {
        case logs_kept::yes: return print_task_log(place, name, lines);
        case logs_kept::unusable:
            complain(
                "the log directory in %s is not an absolute path ending in '/': give "
                "--log_path",
                shown(status_path.data()));
            return status_exit_unknown;
        case logs_kept::no: break;
    }
    const std::string_view problem = text_of(document.get(), "log_problem");
    if (!problem.empty())
        complain("vorn_restart keeps no task logs: %s", shown(problem));
    else
        complain("vorn_restart keeps no task logs: it was started without --log_path");
    return status_exit_degraded;
}

}  // namespace vorn
