// The status file's writer (see status.hpp): the record as JSON, by jansson.
#include "supervise/status.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/status_document.hpp"
#include "base/system_ops.hpp"
#include "supervise/record.hpp"
#include "supervise/task_log.hpp"
#include "supervise/unit.hpp"
#include "tasks/config.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

status_output_state status_output{};

namespace {

// The document is built member by member; any member that cannot be made
// clears ok and spoils the whole document, so that no reader is ever handed
// half a picture.
void set(bool& ok, json_t* object, const char* key, json_t* value) {
    if (!object || !value || json_object_set_new(object, key, value) != 0) ok = false;
}

void append(bool& ok, json_t* array, json_t* value) {
    if (!array || !value || json_array_append_new(array, value) != 0) ok = false;
}

// Text is valid UTF-8 in the document: a path from the command line that
// is not shows its other bytes as '?'.
json_t* text(const char* value) {
    if (json_t* string = json_string(value)) return string;
    std::array<char, 1024> plain{};
    std::size_t n = 0;
    for (; value[n] != '\0' && n + 1 < plain.size(); ++n)
        plain[n] = static_cast<unsigned char>(value[n]) < 0x80 ? value[n] : '?';
    return json_string(plain.data());
}

json_t* text_or_null(const char* value) {
    return value && value[0] != '\0' ? text(value) : json_null();
}

// Both clocks of a moment, under key and boot_key; null when `known` is false.
void set_moment(bool& ok, json_t* object, const char* key, const char* boot_key, const moment& at,
                bool known) {
    set(ok, object, key, known ? json_integer(at.wall) : json_null());
    set(ok, object, boot_key, known ? json_integer(at.boot) : json_null());
}

json_t* exit_object(bool& ok, const exit_record& end) {
    if (end.kind == exit_kind::none) return json_null();
    json_t* object = json_object();
    const char* key = end.kind == exit_kind::code ? status_key::code : status_key::signal;
    set(ok, object, key, json_integer(end.value));
    return object;
}

// A slot's counts and its latest end.
void set_slot_history(bool& ok, json_t* object, const slot_record& s) {
    set(ok, object, status_key::starts, json_integer(s.starts));
    set(ok, object, status_key::last_exit, exit_object(ok, s.last_exit));
    set_moment(ok, object, status_key::last_exit_at, status_key::last_exit_at_boot, s.last_exit.at,
               s.last_exit.kind != exit_kind::none);
    set(ok, object, status_key::same_exits, json_integer(s.same_exits));
    set(ok, object, status_key::ended_by_supervisor, json_integer(s.ended_by_supervisor));
    set(ok, object, status_key::short_runs, json_integer(s.short_runs));
}

// Who the task runs as; null when it runs as the supervisor.
json_t* user_object(bool& ok, const task_settings* settings) {
    if (!settings || !settings->identity) return json_null();
    json_t* object = json_object();
    set(ok, object, status_key::uid, json_integer(settings->uid));
    set(ok, object, status_key::gid, json_integer(settings->gid));
    json_t* groups = json_array();
    for (std::size_t i = 0; i < settings->group_count; ++i)
        append(ok, groups, json_integer(settings->groups[i]));
    set(ok, object, status_key::groups, groups);
    return object;
}

json_t* limit_value(std::uint64_t limit) {
    return limit == limit_unlimited ? json_string(status_key::unlimited)
                                    : json_integer(static_cast<json_int_t>(limit));
}

// The limits set, nice and the OOM score among them; null when none is.
json_t* limits_object(bool& ok, const task_settings* settings) {
    if (!settings || (settings->limits_set == 0 && !settings->nice_set && !settings->oom_score_set))
        return json_null();
    json_t* object = json_object();
    for (std::size_t i = 0; i < task_limit_count; ++i)
        if ((settings->limits_set & (1U << i)) != 0)
            set(ok, object, task_limit_names[i], limit_value(settings->limits[i]));
    if (settings->nice_set) set(ok, object, status_key::nice, json_integer(settings->nice));
    if (settings->oom_score_set)
        set(ok, object, status_key::oom_score_adjust, json_integer(settings->oom_score_adjust));
    return object;
}

// What the slot's settings say, the reason it is refused first.
void set_slot_settings(bool& ok, json_t* object, std::size_t index) {
    const task_settings* settings = settings_of(index);
    const char* reason = nullptr;
    set(ok, object, status_key::refused, task_refused(index, &reason) ? text(reason) : json_null());
    const bool refused = reason != nullptr;
    set(ok, object, status_key::user, refused ? json_null() : user_object(ok, settings));
    set(ok, object, status_key::limits, refused ? json_null() : limits_object(ok, settings));
    if (!settings || refused) return;
    if (settings->no_new_privileges) set(ok, object, status_key::no_new_privileges, json_true());
    if (!settings->capabilities_set) return;
    json_t* names = json_array();
    for (std::size_t n = 0; n < capability_count; ++n)
        if ((settings->capabilities & (std::uint64_t{1} << n)) != 0)
            append(ok, names, json_string(capability_name(n)));
    set(ok, object, status_key::capabilities, names);
}

// How the task's processes are followed, and its cgroup once this
// supervisor has made it.
json_t* unit_object(bool& ok, const char* name) {
    cgroup_path dir{};
    const bool cgroup = unit_cgroup_of(name, dir);
    json_t* object = json_object();
    set(ok, object, status_key::tracked,
        json_string(cgroup ? tracked_cgroup : tracked_process_tree));
    set(ok, object, status_key::cgroup,
        cgroup && unit_cgroup_made(name) ? text(dir.data()) : json_null());
    return object;
}

json_t* slot_object(bool& ok, std::size_t index) {
    const task_info& task = task_table[index];
    const slot_record& s = current_record.slots[index];
    const slot_state state = state_of_slot(task, s);
    const bool running = task.task_pid != 0;  // or ended, not yet reaped
    json_t* object = json_object();
    set(ok, object, status_key::slot, json_integer(static_cast<json_int_t>(index)));
    set(ok, object, status_key::name, text(task.task_name.data()));
    set(ok, object, status_key::path, text(task.task_path.data()));
    set(ok, object, status_key::system, json_integer(task.task_system));
    set(ok, object, status_key::mode, json_string(mode_name(s.configured_mode)));
    set(ok, object, status_key::state, json_string(slot_state_name(state)));
    set(ok, object, status_key::pid, running ? json_integer(task.task_pid) : json_null());
    set_moment(ok, object, status_key::since, status_key::since_boot, s.since, running);
    set_slot_history(ok, object, s);
    const bool held = state == slot_state::held_back;
    set(ok, object, status_key::marker, held ? text(s.marker.data()) : json_null());
    const operator_hold* hold = s.stopped ? hold_of_slot(index) : nullptr;
    set(ok, object, status_key::stopped_by, hold ? json_integer(hold->by) : json_null());
    set_moment(ok, object, status_key::stopped_since, status_key::stopped_since_boot,
               hold ? hold->since : moment{}, hold != nullptr);
    std::array<char, setting_size + task_name_size + 8> log{};
    const bool logged = format_log_path(log.data(), log.size(), task.task_name.data());
    set(ok, object, status_key::log, logged ? text(log.data()) : json_null());
    set_slot_settings(ok, object, index);
    set(ok, object, status_key::unit, unit_object(ok, task.task_name.data()));
    set(ok, object, status_key::start_failure,
        s.start_failure[0] != '\0' ? text(s.start_failure.data()) : json_null());
    return object;
}

json_t* configuration_object(bool& ok) {
    const supervisor_record& r = current_record;
    json_t* object = json_object();
    set(ok, object, status_key::file, text(config_file_path()));
    set(ok, object, status_key::usable,
        r.configuration_read ? json_boolean(r.usable) : json_null());
    set(ok, object, status_key::problem, text_or_null(r.usable ? nullptr : r.problem.data()));
    return object;
}

json_t* updater_object(bool& ok) {
    const exit_record& end = current_record.updater_exit;
    json_t* object = json_object();
    set(ok, object, status_key::last_exit, exit_object(ok, end));
    set_moment(ok, object, status_key::at, status_key::at_boot, end.at,
               end.kind != exit_kind::none);
    set(ok, object, status_key::then, text_or_null(current_record.updater_then));
    return object;
}

// Whether stale copies of the tasks can be killed by name at all.
json_t* kill_object(bool& ok) {
    const bool known = current_record.configuration_read;
    const int error = current_record.kill_error;
    json_t* object = json_object();
    set(ok, object, status_key::works, known ? json_boolean(error == 0) : json_null());
    set(ok, object, status_key::problem,
        known && error != 0 ? text(error_text(error)) : json_null());
    return object;
}

// Whether the supervisor is the OOM killer's last choice; null when that
// was not asked for.
json_t* oom_object(bool& ok) {
    const oom_protection oom = current_record.oom;
    if (oom == oom_protection::not_asked) return json_null();
    json_t* object = json_object();
    set(ok, object, status_key::works, json_boolean(oom == oom_protection::taken));
    set(ok, object, status_key::problem,
        oom == oom_protection::refused ? text(error_text(current_record.oom_error)) : json_null());
    return object;
}

// An unusable configuration starts nothing: no slot to show.
json_t* slots_array(bool& ok) {
    json_t* slots = json_array();
    if (current_record.configuration_read && current_record.usable)
        for (std::size_t i = 0; i < task_slot_count; ++i)
            if (task_table[i].task_name[0] != '\0') append(ok, slots, slot_object(ok, i));
    return slots;
}

json_t* document(bool& ok) {
    const supervisor_record& r = current_record;
    json_t* root = json_object();
    set(ok, root, status_key::format, json_integer(status_format));
    set(ok, root, status_key::pid, json_integer(r.pid));
    const auto ticks = static_cast<json_int_t>(r.start_ticks);
    set(ok, root, status_key::start_ticks, ticks > 0 ? json_integer(ticks) : json_null());
    set_moment(ok, root, status_key::started, status_key::started_boot, r.started, true);
    set(ok, root, status_key::turn, json_integer(r.turn));
    set_moment(ok, root, status_key::turn_started, status_key::turn_started_boot, r.turn_started,
               r.turn > 0);
    set_moment(ok, root, status_key::written, status_key::written_boot, now_moment(), true);
    set(ok, root, status_key::configuration, configuration_object(ok));
    set(ok, root, status_key::updater, updater_object(ok));
    set(ok, root, status_key::kill_by_name, kill_object(ok));
    set(ok, root, status_key::oom_protection, oom_object(ok));
    // Where the tasks' output goes, and why not when the directory was refused.
    set(ok, root, status_key::log_path, text_or_null(log_path.data()));
    set(ok, root, status_key::log_problem, text_or_null(task_logs.problem.data()));
    set(ok, root, status_key::slots, slots_array(ok));
    return root;
}

}  // namespace

void reset_status_output() { status_output = status_output_state{}; }

char* status_document() {
    bool ok = true;
    json_t* root = document(ok);
    char* text = ok ? json_dumps(root, JSON_COMPACT) : nullptr;
    json_decref(root);
    return text;
}

void write_status_file() {
    if (status_path[0] == '\0') return;
    if (current_record.changed) status_output.file.pending = true;
    if (!write_due(status_output.file)) return;
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
    status_output.current = written == 0;
    note_write(status_output.file, written == 0, "status", status_path.data(), error, boot);
}

void mark_status_current() {
    if (!status_output.current) return;
    if (sys.stamp_file(status_path.data(), sys.boot_seconds()) == 0) return;
    // Gone or replaced by someone else: written afresh at the next pass.
    status_output.current = false;
    status_output.file.pending = true;
}

}  // namespace vorn
