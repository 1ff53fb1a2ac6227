// Reading and trusting the status file (see status_read.hpp).
#include "check/status_read.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/kill_listing.hpp"
#include "check/shell_quote.hpp"
#include "tasks/config.hpp"

namespace vorn {

namespace {

namespace key = status_key;

// One byte more than is read from a usable file: a file that fills it is
// larger than the limit.
std::array<char, status_read_limit + 1> status_text{};
struct stat status_info {};
// The document read, freed by forget_loaded: a plain pointer, since an
// object with a destructor at namespace scope has it registered at start-up,
// which on 32-bit ARM calls __aeabi_atexit from the C++ runtime library.
json_t* loaded = nullptr;

void forget_loaded() {
    json_decref(loaded);  // nothing for no document
    loaded = nullptr;
}

// Where the reasons of the read under way go.
status_absence* absence = nullptr;

void note_absence(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

void note_absence(int status, const char* format, ...) {
    absence->status = status;
    std::va_list args;
    va_start(args, format);
    if (!vformat_text(absence->why.data(), absence->why.size(), format, args))
        copy_text(absence->why, "the status file cannot be used");
    va_end(args);
}

// The bounds of the numbers a document may hold.
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

// The integer under key when it lies within [low, high]; null or missing
// is absent, anything else invalid.
number number_of(const json_t* object, const char* name, long long low, long long high) {
    const json_t* value = json_object_get(object, name);
    if (!value || json_is_null(value)) return {number_kind::absent, 0};
    if (!json_is_integer(value)) return {number_kind::invalid, 0};
    const json_int_t n = json_integer_value(value);
    if (n < low || n > high) return {number_kind::invalid, 0};
    return {number_kind::ok, static_cast<long long>(n)};
}

number wall_of(const json_t* object, const char* name) {
    return number_of(object, name, -time_max, time_max);
}
number boot_of(const json_t* object, const char* name) {
    return number_of(object, name, 0, time_max);
}
number count_of(const json_t* object, const char* name) {
    return number_of(object, name, 0, count_max);
}

read_text text_of(const json_t* object, const char* name) {
    const json_t* value = json_object_get(object, name);
    if (!json_is_string(value)) return {};
    return {{json_string_value(value), json_string_length(value)}, true};
}

truth truth_of(const json_t* object, const char* name) {
    const json_t* value = json_object_get(object, name);
    if (!value || json_is_null(value)) return truth::absent;
    if (json_is_true(value)) return truth::yes;
    return json_is_false(value) ? truth::no : truth::invalid;
}

read_end end_of(const json_t* object, const char* name) {
    const json_t* value = json_object_get(object, name);
    if (!value || json_is_null(value)) return {};
    const number code = number_of(value, key::code, 0, 255);
    if (code.ok()) return {end_kind::code, code.value};
    const number signal = number_of(value, key::signal, 1, 127);
    if (signal.ok()) return {end_kind::signal, signal.value};
    return {end_kind::invalid, 0};
}

constexpr long long id_max = UINT32_MAX - 1LL;

void read_user_of(const json_t* slot, read_settings* out) {
    const json_t* user = json_object_get(slot, key::user);
    out->user_given = json_is_object(user);
    out->user_invalid = user && !json_is_null(user) && !out->user_given;
    if (!out->user_given) return;
    out->uid = number_of(user, key::uid, 0, id_max);
    out->gid = number_of(user, key::gid, 0, id_max);
    const json_t* groups = json_object_get(user, key::groups);
    out->groups_invalid = !json_is_array(groups) || json_array_size(groups) > task_group_max;
    if (out->groups_invalid) return;
    out->group_count = json_array_size(groups);
    for (std::size_t i = 0; i < out->group_count; ++i) {
        const json_t* group = json_array_get(groups, i);
        const json_int_t id = json_is_integer(group) ? json_integer_value(group) : -1;
        out->groups[i] = id >= 0 && id <= id_max ? number{number_kind::ok, id} : number{};
        if (!out->groups[i].ok()) out->groups_invalid = true;
    }
}

void read_limits_of(const json_t* slot, read_settings* out) {
    const json_t* limits = json_object_get(slot, key::limits);
    out->limits_invalid = limits && !json_is_null(limits) && !json_is_object(limits);
    if (!json_is_object(limits)) return;
    for (std::size_t i = 0; i < task_limit_count; ++i) {
        const json_t* value = json_object_get(limits, task_limit_names[i]);
        if (json_is_string(value) && std::strcmp(json_string_value(value), key::unlimited) == 0)
            out->unlimited |= 1U << i;
        else
            out->limits[i] = number_of(limits, task_limit_names[i], 0, INT64_MAX);
    }
    out->nice = number_of(limits, key::nice, -20, 19);
    out->oom_score_adjust = number_of(limits, key::oom_score_adjust, -1000, 1000);
}

void read_slot_of(const json_t* slot, read_slot* out) {
    *out = read_slot{};
    out->index = number_of(slot, key::slot, 0, task_slot_count - 1);
    out->name = text_of(slot, key::name);
    out->path = text_of(slot, key::path);
    out->system = number_of(slot, key::system, INT32_MIN, INT32_MAX);
    out->mode = text_of(slot, key::mode);
    out->state_name = text_of(slot, key::state);
    out->state_known = slot_state_of(out->state_name.text, &out->state);
    out->pid = number_of(slot, key::pid, 1, pid_max);
    out->since = wall_of(slot, key::since);
    out->since_boot = boot_of(slot, key::since_boot);
    out->starts = count_of(slot, key::starts);
    out->last_exit = end_of(slot, key::last_exit);
    out->last_exit_at = wall_of(slot, key::last_exit_at);
    out->last_exit_at_boot = boot_of(slot, key::last_exit_at_boot);
    out->same_exits = count_of(slot, key::same_exits);
    out->short_runs = count_of(slot, key::short_runs);
    out->ended_by_supervisor =
        number_of(slot, key::ended_by_supervisor, 0, out->same_exits.or_zero());
    out->marker = text_of(slot, key::marker);
    out->stopped_by = number_of(slot, key::stopped_by, 0, UINT32_MAX - 1);
    out->stopped_since_boot = boot_of(slot, key::stopped_since_boot);
    out->log = text_of(slot, key::log);
    out->settings.refused = text_of(slot, key::refused);
    read_user_of(slot, &out->settings);
    read_limits_of(slot, &out->settings);
    out->settings.no_new_privileges = truth_of(slot, key::no_new_privileges);
    const json_t* unit = json_object_get(slot, key::unit);
    out->unit_tracked = text_of(unit, key::tracked);
    out->unit_cgroup = text_of(unit, key::cgroup);
    out->start_failure = text_of(slot, key::start_failure);
}

void read_supervisor_of(const json_t* document, status_reading* out) {
    out->format = number_of(document, key::format, 1, INT32_MAX);
    out->pid = number_of(document, key::pid, 1, pid_max);
    out->start_ticks = number_of(document, key::start_ticks, 1, ticks_max);
    out->started = wall_of(document, key::started);
    out->started_boot = boot_of(document, key::started_boot);
    out->turn = count_of(document, key::turn);
    out->turn_started = wall_of(document, key::turn_started);
    out->turn_started_boot = boot_of(document, key::turn_started_boot);
    out->written = wall_of(document, key::written);
    out->written_boot = boot_of(document, key::written_boot);
    const json_t* configuration = json_object_get(document, key::configuration);
    out->config_file = text_of(configuration, key::file);
    out->usable = truth_of(configuration, key::usable);
    out->config_problem = text_of(configuration, key::problem);
    const json_t* updater = json_object_get(document, key::updater);
    out->updater_exit = end_of(updater, key::last_exit);
    out->updater_at = wall_of(updater, key::at);
    out->updater_at_boot = boot_of(updater, key::at_boot);
    out->updater_then = text_of(updater, key::then);
    const json_t* kill = json_object_get(document, key::kill_by_name);
    out->kill_works = truth_of(kill, key::works);
    out->kill_problem = text_of(kill, key::problem);
    const json_t* oom = json_object_get(document, key::oom_protection);
    out->oom_works = truth_of(oom, key::works);
    out->oom_problem = text_of(oom, key::problem);
    const json_t* log_path_value = json_object_get(document, key::log_path);
    out->log_path = text_of(document, key::log_path);
    out->log_path_is = !log_path_value || json_is_null(log_path_value) ? log_path_kind::none
                       : out->log_path.given                           ? log_path_kind::text
                                                                       : log_path_kind::other;
    out->log_problem = text_of(document, key::log_problem);
}

// What the checker relies on; any other value of the wrong type shows as
// not known where it is shown.
bool is_status_document(const json_t* document, const char* path) {
    const number format = number_of(document, key::format, 1, INT32_MAX);
    if (!json_is_object(document) || !format.ok()) {
        note_absence(status_exit_unknown, "%s is not a vorn_restart status file", shown(path));
        return false;
    }
    if (format.value != status_format) {
        note_absence(status_exit_unknown,
                     "%s is of format %lld, which this checker does not read (it reads format "
                     "%d): use the vorn_restart_check installed with the running vorn_restart",
                     shown(path), format.value, status_format);
        return false;
    }
    const json_t* slots = json_object_get(document, key::slots);
    bool usable = number_of(document, key::pid, 1, pid_max).ok() &&
                  json_is_object(json_object_get(document, key::configuration)) &&
                  json_is_array(slots) && json_array_size(slots) <= task_slot_count;
    for (std::size_t i = 0; usable && i < json_array_size(slots); ++i)
        usable = json_is_object(json_array_get(slots, i));
    if (!usable)
        note_absence(status_exit_unknown,
                     "%s is not a vorn_restart status file of format %d: a member is missing "
                     "or out of range",
                     shown(path), status_format);
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

std::array<char, status_path_size> started_path{};
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
        // By name first: the stat of every process on the machine need not be read.
        if (pid == self || !named_as_supervisor(pid) ||
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

// The file's bytes, when it may be believed; its length, or -1.
long read_trusted_file(const char* path) {
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
        return -1;
    }
    if (!is_trusted(path)) return -1;
    if (n == 0) {
        note_absence(status_exit_unknown, "%s is empty", shown(path));
        return -1;
    }
    if (static_cast<std::size_t>(n) > status_read_limit) {
        note_absence(status_exit_unknown, "%s is larger than %lu bytes: not trusted", shown(path),
                     status_read_limit);
        return -1;
    }
    return n;
}

bool load_status() {
    const char* path = status_path.data();
    if (path[0] == '\0') {
        note_absence(status_exit_unknown,
                     "--status_path is empty: vorn_restart publishes no status");
        return false;
    }
    const long n = read_trusted_file(path);
    if (n < 0) return false;
    json_error_t error;
    forget_loaded();
    loaded =
        json_loadb(status_text.data(), static_cast<std::size_t>(n), JSON_REJECT_DUPLICATES, &error);
    if (!loaded) {
        note_absence(status_exit_unknown, "%s does not parse: line %d, column %d: %s", shown(path),
                     error.line, error.column, shown(error.text));
        return false;
    }
    if (!is_status_document(loaded, path)) {
        forget_loaded();
        return false;
    }
    return true;
}

bool proc_readable() {
    std::array<char, 512> text{};
    return sys.read_file("/proc/self/stat", text.data(), text.size()) > 0;
}

// Whether the process at the recorded pid is the supervisor that wrote the
// file: a vorn_restart, started when the file says, of the file's owner.
bool supervisor_lives(const status_reading& reading, supervisor_facts* facts) {
    const char* path = shown(status_path.data());
    const auto pid = static_cast<pid_t>(reading.pid.value);
    facts->pid = pid;
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
    if (!reading.start_ticks.ok()) {
        note_absence(status_exit_unknown,
                     "%s records no start time of vorn_restart pid %d: cannot tell it from "
                     "another process that took its pid",
                     path, static_cast<int>(pid));
        return false;
    }
    const process_stat stat = read_process_stat(pid);
    // Both at most 2^60: the difference cannot overflow.
    const long long drift = static_cast<long long>(stat.start_ticks) - reading.start_ticks.value;
    uid_t owner = 0;
    if (stat.start_ticks == 0 || drift < -start_ticks_slack || drift > start_ticks_slack ||
        !process_owner(pid, &owner) || owner != status_info.st_uid) {
        note_absence(status_exit_absent,
                     "%s was left by vorn_restart pid %d, which has ended: pid %d is now another "
                     "vorn_restart (started at another time, or of another user)",
                     path, static_cast<int>(pid), static_cast<int>(pid));
        return false;
    }
    facts->state = stat.state;
    return true;
}

// How old the file's pass mark is: the supervisor sets its modification
// time to the boot clock at every pass.  False when the mark is not one
// it can have set.
bool read_pass_mark(supervisor_facts* facts) {
    facts->boot_now = sys.boot_seconds();
    const long long mark = status_info.st_mtim.tv_sec;
    if (mark < 0 || mark > time_max || mark > facts->boot_now + 2) {
        note_absence(status_exit_unknown,
                     "the modification time of %s is not a pass mark of vorn_restart's (it sets "
                     "it to the time since boot at every pass): the status cannot be trusted",
                     shown(status_path.data()));
        return false;
    }
    // A mark up to 2 s ahead is the same moment seen through coarser clocks.
    facts->pass_age = mark < facts->boot_now ? facts->boot_now - mark : 0;
    return true;
}

}  // namespace

void read_status_document(const json_t* document, status_reading* out) {
    *out = status_reading{};
    read_supervisor_of(document, out);
    const json_t* slots = json_object_get(document, key::slots);
    out->slot_count = json_array_size(slots);
    if (out->slot_count > task_slot_count) out->slot_count = task_slot_count;
    for (std::size_t i = 0; i < out->slot_count; ++i)
        read_slot_of(json_array_get(slots, i), &out->slots[i]);
}

bool read_live_status(status_reading* reading, supervisor_facts* facts, status_absence* why) {
    absence = why;
    why->status = status_exit_unknown;
    why->why.fill('\0');
    *facts = supervisor_facts{};
    facts->pass_age = -1;
    forget_loaded();
    *reading = status_reading{};
    if (!load_status()) return false;
    read_status_document(loaded, reading);
    facts->owner = status_info.st_uid;
    return supervisor_lives(*reading, facts) && read_pass_mark(facts);
}

const json_t* loaded_status_document() { return loaded; }

// --status_path=<file> or --status_path <file>, the name shortened to any
// prefix getopt_long takes for it.  The last one counts.
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

}  // namespace vorn
