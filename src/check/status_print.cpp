// Printing the judged status as text and as JSON (see status_print.hpp).
#include "check/status_print.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <jansson.h>

#include "base/messages.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/shell_quote.hpp"
#include "tasks/config.hpp"

namespace vorn {

namespace {

using short_text = std::array<char, 32>;

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

// Time since a boot-clock moment; "-" when not known.
short_text time_since(const number& at) {
    if (at.kind == number_kind::absent) return number_shown(at);
    if (!at.ok() || at.value > judged.facts.boot_now) {
        short_text text{};
        copy_text(text, "invalid");
        return text;
    }
    return duration(judged.facts.boot_now - at.value);
}

short_text end_shown(const read_end& end) {
    short_text text{};
    if (end.kind == end_kind::none)
        copy_text(text, "-");
    else if (end.kind == end_kind::invalid)
        copy_text(text, "invalid");
    else
        format_text(text.data(), text.size(), "%s %lld",
                    end.kind == end_kind::code ? "code" : "signal", end.value);
    return text;
}

const char* state_text(const judged_slot& view) {
    return view.state ? view.state : shown(view.read->state_name.text);
}

void print_header() {
    const status_reading& reading = judged.reading;
    const supervisor_facts& facts = judged.facts;
    std::printf("vorn_restart pid %d, up %s, turn %s, last pass %s ago\n",
                static_cast<int>(facts.pid), time_since(reading.started_boot).data(),
                number_shown(reading.turn).data(), duration(facts.pass_age).data());
    if (judged.stopped)
        std::printf(
            "vorn_restart is stopped (state %c): it starts and reaps nothing until it is "
            "continued (kill -CONT %d)\n",
            facts.state, static_cast<int>(facts.pid));
    else if (judged.hung)
        std::printf(
            "no pass for %lld s: the supervisor is stopped or hung, or cannot update its status "
            "file; what follows is as of then\n",
            facts.pass_age);
}

// The configuration line: the file the supervisor reads as it names it
// (only shown, never opened), and whether the check reads the same one.
void print_configuration(const char* own_file) {
    const status_reading& reading = judged.reading;
    const std::string_view named = reading.config_file.text;
    const char* file = named.empty() ? "?" : shown(named);
    if (reading.usable == truth::yes) {
        std::printf("configuration %s: usable\n", file);
    } else {
        std::printf("configuration %s: unusable, no task is started\n", file);
        if (!reading.config_problem.text.empty())
            std::printf("  %s\n", shown(reading.config_problem.text));
    }
    if (!named.empty() && named != own_file)
        std::printf("  (this check reads %s: give it the supervisor's --install_path)\n",
                    shown(own_file));
}

void print_table() {
    if (judged.slot_count == 0) return;
    std::puts("slot  name                  state      pid      uptime  starts  last exit");
    for (std::size_t i = 0; i < judged.slot_count; ++i) {
        const judged_slot& view = judged.slots[i];
        const read_slot& slot = *view.read;
        const bool live = view.child == child_check::live;
        std::printf("%-5s %-21s %-10s %-8s %-7s %-7s %s\n", number_shown(slot.index).data(),
                    shown(slot.name.text), state_text(view), number_shown(slot.pid).data(),
                    live ? time_since(slot.since_boot).data() : "-",
                    number_shown(slot.starts).data(), end_shown(slot.last_exit).data());
    }
}

void print_why_lines() {
    for (std::size_t i = 0; i < judged.slot_count; ++i) {
        const judged_slot& view = judged.slots[i];
        if (view.why[0] == '\0') continue;
        std::printf("slot %s, %s: %s\n", number_shown(view.read->index).data(),
                    shown(view.read->name.text), view.why.data());
        if (!view.log_shown) continue;
        for (std::size_t n = 0; n < view.tail.note_count; ++n)
            std::printf("    (%s)\n", view.tail.notes[n].data());
        for (std::size_t n = 0; n < view.tail.line_count; ++n)
            std::printf("    %s\n", view.tail.lines[n].data());
    }
}

using settings_text = std::array<char, 1024>;

void add_text(settings_text& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends to the line; what does not fit is left out.
void add_text(settings_text& text, const char* format, ...) {
    const std::size_t used = std::strlen(text.data());
    std::va_list args;
    va_start(args, format);
    vformat_text(text.data() + used, text.size() - used, format, args);
    va_end(args);
}

// "runs as uid 33 (gid 33, groups 33 44)".
void add_user(settings_text& text, const read_settings& s) {
    if (s.user_invalid) add_text(text, "; runs as: invalid");
    if (!s.user_given) return;
    add_text(text, "; runs as uid %s (gid %s, groups", number_shown(s.uid).data(),
             number_shown(s.gid).data());
    if (s.groups_invalid) add_text(text, " invalid");
    for (std::size_t i = 0; !s.groups_invalid && i < s.group_count; ++i)
        add_text(text, " %s", number_shown(s.groups[i]).data());
    add_text(text, ")");
}

// "limits open_files 1024, memory unlimited, nice 5".
void add_limits(settings_text& text, const read_settings& s) {
    if (s.limits_invalid) add_text(text, "; limits: invalid");
    const char* separator = "; limits ";
    for (std::size_t i = 0; i < task_limit_count; ++i) {
        const bool unlimited = (s.unlimited & (1U << i)) != 0;
        if (!unlimited && s.limits[i].kind == number_kind::absent) continue;
        add_text(text, "%s%s %s", separator, task_limit_names[i],
                 unlimited ? "unlimited" : number_shown(s.limits[i]).data());
        separator = ", ";
    }
    const std::array<std::pair<const char*, const number*>, 2> others{
        {{"nice", &s.nice}, {"oom_score_adjust", &s.oom_score_adjust}}};
    for (const auto& [name, value] : others) {
        if (value->kind == number_kind::absent) continue;
        add_text(text, "%s%s %s", separator, name, number_shown(*value).data());
        separator = ", ";
    }
}

// A line per slot whose task runs with settings of its own.
void print_settings_lines() {
    for (std::size_t i = 0; i < judged.slot_count; ++i) {
        const read_slot& slot = *judged.slots[i].read;
        settings_text text{};
        add_user(text, slot.settings);
        add_limits(text, slot.settings);
        if (slot.settings.no_new_privileges == truth::yes) add_text(text, "; no new privileges");
        if (text[0] == '\0') continue;
        std::printf("slot %s, %s: %s\n", number_shown(slot.index).data(), shown(slot.name.text),
                    text.data() + 2);
    }
}

// A unit's usage: "cpu 1.25 s, memory 3.4 MB".
std::array<char, 96> usage_text(const unit_usage& usage) {
    std::array<char, 96> text{};
    std::array<char, 32> cpu{}, memory{};
    copy_text(cpu, "?");
    copy_text(memory, "?");
    if (usage.cpu_known)
        format_text(cpu.data(), cpu.size(), "%.2f s", static_cast<double>(usage.cpu_usec) / 1e6);
    if (usage.memory_known)
        format_text(memory.data(), memory.size(), "%.1f MB",
                    static_cast<double>(usage.memory_bytes) / 1e6);
    format_text(text.data(), text.size(), "cpu %s, memory %s", cpu.data(), memory.data());
    return text;
}

// Per slot: how its processes are followed, what they use now, and what
// earlier runs left in its cgroup.
void print_unit_lines() {
    for (std::size_t i = 0; i < judged.slot_count; ++i) {
        const judged_unit& unit = judged.slots[i].unit;
        const char* name = shown(judged.slots[i].read->name.text);
        if (unit.tracking == unit_tracking::unknown) continue;
        if (unit.tracking == unit_tracking::refused) {
            std::printf(
                "unit of %s: the status file names a cgroup that is not the task's own in "
                "the running supervisor's container: not read\n",
                name);
            continue;
        }
        const bool cgroup = unit.tracking == unit_tracking::cgroup;
        std::printf("unit of %s: %s %s, %s\n", name, cgroup ? "cgroup" : "process tree",
                    cgroup ? shown(judged.slots[i].read->unit_cgroup.text) : "(no cgroup)",
                    usage_text(unit.usage).data());
        if (!cgroup) {
            std::printf(
                "  processes left by earlier runs of %s cannot be told: once reparented "
                "they are no longer linked to it\n",
                name);
            continue;
        }
        if (unit.leftover_count <= 0) continue;
        std::printf("  %ld process%s left by earlier runs of %s:", unit.leftover_count,
                    unit.leftover_count == 1 ? "" : "es", name);
        for (long n = 0; n < unit.leftover_count && n < static_cast<long>(leftovers_shown); ++n) {
            const auto k = static_cast<std::size_t>(n);
            std::printf("%s %d %s", n == 0 ? "" : ",", static_cast<int>(unit.leftovers[k].pid),
                        shown(unit.leftover_names[k].data()));
        }
        std::puts(unit.leftover_count > static_cast<long>(leftovers_shown) ? ", ..." : "");
    }
}

// Builds the JSON view; any member that cannot be made spoils it whole.
class json_view {
public:
    bool ok = true;

    void set(json_t* object, const char* key, json_t* value) {
        if (!object || !value || json_object_set_new(object, key, value) != 0) ok = false;
    }
    void append(json_t* array, json_t* value) {
        if (!array || !value || json_array_append_new(array, value) != 0) ok = false;
    }
    // Text is valid UTF-8 here: what comes from the file has been escaped.
    static json_t* text_or_null(const char* text) {
        if (!text || text[0] == '\0') return json_null();
        json_t* value = json_string(text);
        return value ? value : json_null();
    }

    json_t* supervisor() {
        json_t* object = json_object();
        const bool live = judged.live;
        const char state[2] = {judged.facts.state, '\0'};
        set(object, "lives", json_boolean(live));
        set(object, "state", live ? text_or_null(state) : json_null());
        set(object, "stopped", json_boolean(judged.stopped));
        set(object, "hung", json_boolean(judged.hung));
        set(object, "pass_age", live ? json_integer(judged.facts.pass_age) : json_null());
        set(object, "problem", live ? json_null() : text_or_null(judged.absence.why.data()));
        return object;
    }

    void slot(json_t* object, const judged_slot& view) {
        const std::string_view recorded = view.read->state_name.text;
        json_t* raw = view.read->state_name.given ? json_stringn(recorded.data(), recorded.size())
                                                  : json_null();
        set(object, "recorded_state", raw);
        set(object, status_key::state,
            view.state ? json_string(view.state) : json_deep_copy(raw ? raw : json_null()));
        set(object, "why", text_or_null(view.why.data()));
        set(object, "cause", text_or_null(why_cause_names[static_cast<std::size_t>(view.cause)]));
        json_t* tail = view.log_shown ? json_array() : json_null();
        for (std::size_t n = 0; view.log_shown && n < view.tail.line_count; ++n)
            append(tail, text_or_null(view.tail.lines[n].data()));
        set(object, "log_tail", tail);
        // Only where the file tells how the unit is followed.
        if (view.unit.tracking != unit_tracking::unknown) set(object, "unit_now", unit(view.unit));
    }

    // What the unit uses now and what earlier runs left in it.
    json_t* unit(const judged_unit& u) {
        static constexpr const char* tracking_names[] = {nullptr, tracked_cgroup,
                                                         tracked_process_tree, "refused"};
        json_t* object = json_object();
        set(object, status_key::tracked,
            text_or_null(tracking_names[static_cast<std::size_t>(u.tracking)]));
        const bool cpu = u.tracking != unit_tracking::unknown && u.usage.cpu_known;
        const bool memory = u.tracking != unit_tracking::unknown && u.usage.memory_known;
        set(object, "cpu_seconds",
            cpu ? json_real(static_cast<double>(u.usage.cpu_usec) / 1e6) : json_null());
        set(object, "memory_bytes",
            memory ? json_integer(static_cast<json_int_t>(u.usage.memory_bytes)) : json_null());
        json_t* left = u.leftover_count >= 0 ? json_array() : json_null();
        for (long n = 0; n < u.leftover_count && n < static_cast<long>(leftovers_shown); ++n) {
            const auto k = static_cast<std::size_t>(n);
            json_t* entry = json_object();
            set(entry, status_key::pid, json_integer(u.leftovers[k].pid));
            set(entry, status_key::name, text_or_null(u.leftover_names[k].data()));
            append(left, entry);
        }
        set(object, "leftovers", left);
        set(object, "leftover_count",
            u.leftover_count >= 0 ? json_integer(u.leftover_count) : json_null());
        return object;
    }

    json_t* document() {
        const json_t* loaded = loaded_status_document();
        json_t* root = judged.live && loaded ? json_deep_copy(loaded) : json_object();
        if (!judged.live) set(root, status_key::format, json_integer(status_format));
        set(root, "supervisor", supervisor());
        const json_t* slots = json_object_get(root, status_key::slots);
        for (std::size_t i = 0; judged.live && i < judged.slot_count; ++i)
            slot(json_array_get(slots, i), judged.slots[i]);
        json_t* warnings = json_array();
        for (std::size_t i = 0; i < judged.warning_count; ++i)
            append(warnings, text_or_null(judged.warnings[i].data()));
        set(root, "warnings", warnings);
        set(root, "exit_status", json_integer(judged.exit_status));
        return root;
    }
};

}  // namespace

void print_status_text(const char* own_file) {
    print_header();
    print_configuration(own_file);
    print_table();
    print_settings_lines();
    print_why_lines();
    print_unit_lines();
    for (std::size_t i = 0; i < judged.warning_count; ++i)
        std::printf("warning: %s\n", judged.warnings[i].data());
}

bool print_status_json() {
    json_view view;
    const json_document root{view.document()};
    char* text = view.ok ? json_dumps(root.get(), JSON_COMPACT) : nullptr;
    if (!text) {
        complain("cannot build the status as JSON");
        return false;
    }
    const bool written = std::fputs(text, stdout) != EOF && std::fputc('\n', stdout) != EOF &&
                         std::fflush(stdout) == 0;
    std::free(text);
    if (!written) complain("cannot write the status: %s", std::strerror(errno));
    return written;
}

}  // namespace vorn
