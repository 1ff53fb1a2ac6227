#include "supervise/status.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

supervisor_status current_status{};

namespace {

exit_record exit_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) return {exit_kind::signal, WTERMSIG(wait_status), sys.now()};
    return {exit_kind::code, WEXITSTATUS(wait_status), sys.now()};
}

// The bookkeeping of one end, whatever brought it about.
void note_end(std::size_t slot, const exit_record& end) {
    slot_status& s = current_status.slots[slot];
    const bool same = s.last_exit.kind == end.kind && s.last_exit.value == end.value;
    s.same_exits = same ? s.same_exits + 1 : 1;
    // A program that puts itself in the background ends with 0 at once; the
    // reap comes at most one pass later.
    const bool short_run = end.kind == exit_kind::code && end.value == 0 && s.since != 0 &&
                           end.at - s.since <= short_run_seconds;
    s.short_runs = short_run ? s.short_runs + 1 : 0;
    s.last_exit = end;
    s.since = 0;
    current_status.changed = true;
}

const char* state_text(const task_info& task, const slot_status& s) {
    if (task.task_pid != 0) return "running";
    if (task.task_mode == mode_none) return s.started_this_turn ? "ended" : "off";
    return s.marker[0] != '\0' ? "held_back" : "waiting";
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
    static json_t* time(std::time_t at) { return at != 0 ? json_integer(at) : json_null(); }

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
        const bool running = task.task_pid != 0;
        json_t* object = json_object();
        set(object, "slot", json_integer(static_cast<json_int_t>(index)));
        set(object, "name", text(task.task_name.data()));
        set(object, "path", text(task.task_path.data()));
        set(object, "system", json_integer(task.task_system));
        set(object, "mode", json_string(mode_name(s.configured_mode)));
        set(object, "state", json_string(state));
        set(object, "pid", running ? json_integer(task.task_pid) : json_null());
        set(object, "since", time(running ? s.since : 0));
        set(object, "starts", json_integer(s.starts));
        set(object, "last_exit", exit(s.last_exit));
        set(object, "last_exit_at", time(s.last_exit.at));
        set(object, "same_exits", json_integer(s.same_exits));
        set(object, "short_runs", json_integer(s.short_runs));
        const bool held = std::strcmp(state, "held_back") == 0;
        set(object, "marker", held ? text(s.marker.data()) : json_null());
        return object;
    }

    json_t* document() {
        json_t* root = json_object();
        set(root, "format", json_integer(status_format));
        set(root, "pid", json_integer(current_status.pid));
        set(root, "started", time(current_status.started));
        set(root, "turn", json_integer(current_status.turn));
        set(root, "turn_started", time(current_status.turn_started));
        set(root, "written", time(sys.now()));

        json_t* configuration = json_object();
        set(configuration, "file", text(config_file_path()));
        set(configuration, "usable",
            current_status.configuration_read ? json_boolean(current_status.usable) : json_null());
        set(configuration, "problem",
            text_or_null(current_status.usable ? nullptr : current_status.problem.data()));
        set(root, "configuration", configuration);

        json_t* updater = json_object();
        set(updater, "last_exit", exit(current_status.updater_exit));
        set(updater, "at", time(current_status.updater_exit.at));
        set(updater, "then", text_or_null(current_status.updater_then));
        set(root, "updater", updater);

        // An unusable configuration starts nothing: no slot to show.
        json_t* slots = json_array();
        if (current_status.configuration_read && current_status.usable)
            for (std::size_t i = 0; i < task_slot_count; ++i)
                if (task_table[i].task_name[0] != '\0') append(slots, slot(i));
        set(root, "slots", slots);
        return root;
    }
};

}  // namespace

void reset_status() {
    current_status = supervisor_status{};
    current_status.pid = ::getpid();
    current_status.started = sys.now();
}

void status_turn_begins() {
    ++current_status.turn;
    current_status.turn_started = sys.now();
    current_status.given_up = false;  // the file may be writable again
    current_status.changed = true;
}

void status_configuration(bool usable, const config_problem& problem) {
    current_status.configuration_read = true;
    current_status.usable = usable;
    current_status.changed = true;
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
        s.since = 0;
        s.started_this_turn = false;
        s.marker[0] = '\0';
    }
}

void status_started(std::size_t slot) {
    slot_status& s = current_status.slots[slot];
    ++s.starts;
    s.since = sys.now();
    s.started_this_turn = true;
    s.marker[0] = '\0';
    current_status.changed = true;
}

void status_ended(std::size_t slot, int wait_status) { note_end(slot, exit_of(wait_status)); }

void status_killed(std::size_t slot) { note_end(slot, {exit_kind::signal, SIGKILL, sys.now()}); }

void status_updater_ended(int wait_status, const char* then) {
    current_status.updater_exit = exit_of(wait_status);
    current_status.updater_then = then;
    current_status.changed = true;
}

void status_gate(std::size_t slot, const marker_path& marker) {
    marker_path& known = current_status.slots[slot].marker;
    if (std::strcmp(known.data(), marker.data()) == 0) return;
    known = marker;
    current_status.changed = true;
}

char* status_document() {
    builder build;
    json_t* root = build.document();
    char* text = build.ok ? json_dumps(root, JSON_COMPACT) : nullptr;
    json_decref(root);
    return text;
}

void publish_status() {
    if (!current_status.changed || current_status.given_up || status_path[0] == '\0') return;
    std::array<char, status_path_size> temp{};
    format_text(temp.data(), temp.size(), "%s%s", status_path.data(), status_temp_suffix);
    char* text = status_document();
    int error = ENOMEM;
    if (text) {
        // One line, ending in a newline: json_dumps's terminator becomes it.
        const std::size_t length = std::strlen(text);
        text[length] = '\n';
        const int written = sys.replace_file(status_path.data(), temp.data(), text, length + 1);
        error = errno;
        std::free(text);
        if (written == 0) {
            current_status.changed = false;
            current_status.failure_told = false;
            return;
        }
    }
    current_status.given_up = true;
    if (current_status.failure_told) return;
    current_status.failure_told = true;
    complain("cannot write the status file %s: %s; supervising without it until the next turn",
             status_path.data(), error_text(error));
}

}  // namespace vorn
