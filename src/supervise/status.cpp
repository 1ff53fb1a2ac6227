#include "supervise/status.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "base/messages.hpp"
#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/metrics.hpp"
#include "supervise/task_log.hpp"

namespace vorn {

supervisor_status current_status{};

namespace {

moment now_moment() { return {sys.now(), sys.boot_seconds()}; }

exit_record exit_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) return {exit_kind::signal, WTERMSIG(wait_status), now_moment()};
    return {exit_kind::code, WEXITSTATUS(wait_status), now_moment()};
}

// The bookkeeping of one end, whatever brought it about.
void note_end(std::size_t slot, const exit_record& end) {
    slot_status& s = current_status.slots[slot];
    const bool same = s.last_exit.kind == end.kind && s.last_exit.value == end.value;
    s.same_exits = same ? s.same_exits + 1 : 1;
    // A program that puts itself in the background ends with 0 at once; its
    // end is seen at the pass that started it or at the next one.  Boot
    // clock: a clock set forwards or backwards in between changes nothing.
    const bool short_run = end.kind == exit_kind::code && end.value == 0 && s.started_this_turn &&
                           end.at.boot - s.since.boot <= short_run_seconds;
    s.short_runs = short_run ? s.short_runs + 1 : 0;
    s.last_exit = end;
    current_status.changed = true;
}

// Builds the document; any member that cannot be made spoils the whole
// document, so that no reader is ever handed half a picture.
class builder {
public:
    bool ok = true;

    void set(json_t* object, const char* key, json_t* value) {
        if (!object || !value || json_object_set_new(object, key, value) != 0) ok = false;
    }
    void append(json_t* array, json_t* value) {
        if (!array || !value || json_array_append_new(array, value) != 0) ok = false;
    }

    // Text is valid UTF-8 in the document: a path from the command line
    // that is not shows its other bytes as '?'.
    static json_t* text(const char* value) {
        if (json_t* string = json_string(value)) return string;
        std::array<char, 1024> plain{};
        std::size_t n = 0;
        for (; value[n] != '\0' && n + 1 < plain.size(); ++n)
            plain[n] = static_cast<unsigned char>(value[n]) < 0x80 ? value[n] : '?';
        return json_string(plain.data());
    }
    static json_t* text_or_null(const char* value) {
        return value && value[0] != '\0' ? text(value) : json_null();
    }
    // Both clocks of a moment, under key and key_boot; null when `known`
    // is false.
    void set_moment(json_t* object, const char* key, const moment& at, bool known) {
        std::array<char, 64> boot_key{};
        format_text(boot_key.data(), boot_key.size(), "%s_boot", key);
        set(object, key, known ? json_integer(at.wall) : json_null());
        set(object, boot_key.data(), known ? json_integer(at.boot) : json_null());
    }

    json_t* exit(const exit_record& end) {
        if (end.kind == exit_kind::none) return json_null();
        json_t* object = json_object();
        set(object, end.kind == exit_kind::code ? "code" : "signal", json_integer(end.value));
        return object;
    }

    json_t* slot(std::size_t index) {
        const task_info& task = task_table[index];
        const slot_status& s = current_status.slots[index];
        const char* state = state_text(task, s);
        const bool running = task.task_pid != 0;  // or ended, not yet reaped
        json_t* object = json_object();
        set(object, "slot", json_integer(static_cast<json_int_t>(index)));
        set(object, "name", text(task.task_name.data()));
        set(object, "path", text(task.task_path.data()));
        set(object, "system", json_integer(task.task_system));
        set(object, "mode", json_string(mode_name(s.configured_mode)));
        set(object, "state", json_string(state));
        set(object, "pid", running ? json_integer(task.task_pid) : json_null());
        set_moment(object, "since", s.since, running);
        set(object, "starts", json_integer(s.starts));
        set(object, "last_exit", exit(s.last_exit));
        set_moment(object, "last_exit_at", s.last_exit.at, s.last_exit.kind != exit_kind::none);
        set(object, "same_exits", json_integer(s.same_exits));
        set(object, "short_runs", json_integer(s.short_runs));
        const bool held = std::strcmp(state, "held_back") == 0;
        set(object, "marker", held ? text(s.marker.data()) : json_null());
        std::array<char, setting_size + task_name_size + 8> log{};
        const bool logged = format_log_path(log.data(), log.size(), task.task_name.data());
        set(object, "log", logged ? text(log.data()) : json_null());
        return object;
    }

    json_t* document() {
        json_t* root = json_object();
        set(root, "format", json_integer(status_format));
        set(root, "pid", json_integer(current_status.pid));
        const auto ticks = static_cast<json_int_t>(current_status.start_ticks);
        set(root, "start_ticks", ticks > 0 ? json_integer(ticks) : json_null());
        set_moment(root, "started", current_status.started, true);
        set(root, "turn", json_integer(current_status.turn));
        set_moment(root, "turn_started", current_status.turn_started, current_status.turn > 0);
        set_moment(root, "written", now_moment(), true);

        json_t* configuration = json_object();
        set(configuration, "file", text(config_file_path()));
        set(configuration, "usable",
            current_status.configuration_read ? json_boolean(current_status.usable) : json_null());
        set(configuration, "problem",
            text_or_null(current_status.usable ? nullptr : current_status.problem.data()));
        set(root, "configuration", configuration);

        json_t* updater = json_object();
        set(updater, "last_exit", exit(current_status.updater_exit));
        set_moment(updater, "at", current_status.updater_exit.at,
                   current_status.updater_exit.kind != exit_kind::none);
        set(updater, "then", text_or_null(current_status.updater_then));
        set(root, "updater", updater);

        // Whether stale copies of the tasks can be killed by name at all.
        json_t* kill = json_object();
        const bool known = current_status.configuration_read;
        const int error = current_status.kill_error;
        set(kill, "works", known ? json_boolean(error == 0) : json_null());
        set(kill, "problem", known && error != 0 ? text(error_text(error)) : json_null());
        set(root, "kill_by_name", kill);

        // Where the tasks' output goes, and why not when the directory was refused.
        set(root, "log_path", text_or_null(log_path.data()));
        set(root, "log_problem", text_or_null(task_logs.problem.data()));

        // An unusable configuration starts nothing: no slot to show.
        json_t* slots = json_array();
        if (current_status.configuration_read && current_status.usable)
            for (std::size_t i = 0; i < task_slot_count; ++i)
                if (task_table[i].task_name[0] != '\0') append(slots, slot(i));
        set(root, "slots", slots);
        return root;
    }
};

// The status file itself: written when a change is pending, unless a
// failed write waits for its retry.
void write_status_file() {
    if (status_path[0] == '\0' || !write_due(current_status.status_file)) return;
    const std::time_t boot = sys.boot_seconds();
    char* text = status_document();
    int error = ENOMEM;
    int written = -1;
    if (text) {
        // One line, ending in a newline: json_dumps's terminator becomes it.
        const std::size_t length = std::strlen(text);
        text[length] = '\n';
        written = sys.replace_file(status_path.data(), text, length + 1, boot);
        error = errno;
        std::free(text);
    }
    // A reader finding no file says the status is not known: better than a
    // stale one that looks current.
    current_status.file_current = written == 0;
    note_write(current_status.status_file, written == 0, "status", status_path.data(), error, boot);
}

}  // namespace

const char* state_text(const task_info& task, const slot_status& s) {
    if (task.task_pid != 0) return s.end_seen ? "exited" : "running";
    if (task.task_mode == mode_none) return s.started_this_turn ? "ended" : "off";
    return s.marker[0] != '\0' ? "held_back" : "waiting";
}

void reset_status() {
    current_status = supervisor_status{};
    current_status.pid = ::getpid();
    current_status.start_ticks = own_start_ticks();
    current_status.started = now_moment();
}

void status_turn_begins() {
    ++current_status.turn;
    current_status.turn_started = now_moment();
    current_status.changed = true;
}

void status_configuration(bool usable, const config_problem& problem) {
    current_status.configuration_read = true;
    current_status.usable = usable;
    current_status.changed = true;
    current_status.kill_error = kill_by_name_error;
    if (kill_by_name_error == 0) {
        current_status.kill_error_told = false;
    } else if (!current_status.kill_error_told) {
        current_status.kill_error_told = true;
        complain("cannot run killall: %s; stale copies of the tasks are not killed",
                 error_text(kill_by_name_error));
    }
    if (!usable) {
        if (!format_config_problem(current_status.problem.data(), current_status.problem.size(),
                                   problem))
            copy_text(current_status.problem, problem.text.data());
        return;  // the slots keep their counts until a usable file
    }
    current_status.problem[0] = '\0';
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const task_info& task = task_table[i];
        slot_status& s = current_status.slots[i];
        // Another task in the slot starts counting afresh.
        if (text_view(s.name) != text_view(task.task_name)) {
            s = slot_status{};
            s.name = task.task_name;
        }
        s.configured_mode = task.task_mode;
        s.started_this_turn = false;
        s.end_seen = false;
        s.marker[0] = '\0';
    }
}

void status_started(std::size_t slot) {
    slot_status& s = current_status.slots[slot];
    ++s.starts;
    s.since = now_moment();
    s.started_this_turn = true;
    s.end_seen = false;
    s.marker[0] = '\0';
    current_status.changed = true;
}

void status_ended(std::size_t slot, int wait_status) {
    slot_status& s = current_status.slots[slot];
    if (s.end_seen) {
        // Recorded when it was first seen; now it is reaped.
        s.end_seen = false;
        current_status.changed = true;
        return;
    }
    log_task_ended(slot, wait_status);
    note_end(slot, exit_of(wait_status));
}

void status_killed(std::size_t slot) {
    slot_status& s = current_status.slots[slot];
    if (s.end_seen) {
        s.end_seen = false;
        current_status.changed = true;
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
        const exit_record& updater = current_status.slots[0].last_exit;
        log_task_killed(slot, updater.kind == exit_kind::code ? updater.value : -1);
        note_end(slot, {exit_kind::signal, SIGKILL, now_moment()});
    }
}

void status_updater_ended(const char* then) {
    current_status.updater_exit = current_status.slots[0].last_exit;
    current_status.updater_then = then;
    const exit_record& end = current_status.updater_exit;
    const updater_end kind = end.kind == exit_kind::signal ? updater_signal
                             : end.value == 0              ? updater_code_0
                             : end.value == 1              ? updater_code_1
                                                           : updater_code_other;
    ++current_status.updater_ends[kind];
    current_status.changed = true;
}

void status_gate(std::size_t slot, const marker_path& marker) {
    marker_path& known = current_status.slots[slot].marker;
    if (std::strcmp(known.data(), marker.data()) == 0) return;
    known = marker;
    current_status.changed = true;
    if (marker[0] != '\0') log_task_held(slot, marker.data());
}

void note_ended_children() {
#pragma GCC unroll 16
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const pid_t pid = task_table[i].task_pid;
        if (pid == 0 || current_status.slots[i].end_seen) continue;
        int wait_status = 0;
        if (sys.child_ended(pid, &wait_status) != 1) continue;
        log_task_ended(i, wait_status);
        note_end(i, exit_of(wait_status));
        current_status.slots[i].end_seen = true;
    }
}

char* status_document() {
    builder build;
    json_t* root = build.document();
    char* text = build.ok ? json_dumps(root, JSON_COMPACT) : nullptr;
    json_decref(root);
    return text;
}

bool write_due(const published_file& file) {
    return file.pending && (!file.failing || sys.boot_seconds() >= file.retry_at);
}

void note_write(published_file& file, bool written, const char* what, const char* path, int error,
                std::time_t boot) {
    if (written) {
        file = published_file{};
        return;
    }
    sys.remove_file(path);
    file.failing = true;
    file.retry_at = boot + status_retry_seconds;
    if (file.failure_told) return;
    file.failure_told = true;
    complain("cannot write the %s file %s: %s; trying again every %d s", what, path,
             error_text(error), static_cast<int>(status_retry_seconds));
}

void publish_status() {
    // Each file keeps its own pending change, so that one whose write
    // failed is retried without the other being written again meanwhile.
    if (current_status.changed) {
        current_status.changed = false;
        if (status_path[0] != '\0') current_status.status_file.pending = true;
        if (metrics_path[0] != '\0') current_status.metrics_file.pending = true;
    }
    write_status_file();
    publish_metrics();
}

void mark_status_current() {
    if (!current_status.file_current) return;
    if (sys.stamp_file(status_path.data(), sys.boot_seconds()) == 0) return;
    // Gone or replaced by someone else: written afresh at the next pass.
    current_status.file_current = false;
    current_status.status_file.pending = true;
}

}  // namespace vorn
