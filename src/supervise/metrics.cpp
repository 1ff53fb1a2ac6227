// The metrics file's writer (see metrics.hpp): the record in the Prometheus
// text format, from a buffer of fixed size.
#include "supervise/metrics.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "base/messages.hpp"
#include "base/platform.hpp"
#include "base/settings.hpp"
#include "base/status_document.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/published_file.hpp"
#include "supervise/record.hpp"
#include "supervise/unit.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

published_file metrics_output{};
bool metrics_current = false;

namespace {

alignas(rarely_used) char metrics_buffer[metrics_buffer_size];

// A name, with every byte escaped or replaced at worst (3 bytes each).
constexpr std::size_t label_value_size = task_name_size * 3;

struct family {
    const char* name;
    const char* type;
    const char* help;
};

constexpr family start_time{"vorn_restart_start_time_seconds", "gauge",
                            "When the supervisor started, in seconds since the epoch."};
constexpr family turns{"vorn_restart_turns_total", "counter",
                       "Turns begun since the supervisor started; each reads the configuration."};
constexpr family usable{"vorn_restart_configuration_usable", "gauge",
                        "1 when the configuration read at the latest turn is usable, 0 when it "
                        "is not and no task is started."};
constexpr family problem_info{
    "vorn_restart_configuration_problem", "gauge",
    "1, with the reason as a label, while the configuration is unusable."};
constexpr family kill_works{"vorn_restart_kill_by_name_works", "gauge",
                            "1 when the latest turn could run killall to kill stale copies of "
                            "the tasks, else 0."};
constexpr family oom_protected{"vorn_restart_oom_protected", "gauge",
                               "1 when the supervisor's own oom_score_adj is -1000 (the OOM "
                               "killer's last choice), 0 when the kernel refused it; no sample "
                               "when it was not asked for (--no_oom_protect, or not root)."};
constexpr family updater_exits{"vorn_restart_updater_exits_total", "counter",
                               "Ends of the updater in slot 0 by exit status (0, 1, other) or "
                               "signal."};
constexpr family task_up{"vorn_restart_task_up", "gauge",
                         "1 while the slot's child runs and has lived through a whole pass, "
                         "else 0."};
constexpr family task_state{"vorn_restart_task_state", "gauge",
                            "1 for the slot's current state, 0 for the others."};
constexpr family task_starts{"vorn_restart_task_starts_total", "counter",
                             "Starts of the slot's task since the supervisor started."};
constexpr family task_ends{"vorn_restart_task_ends_total", "counter",
                           "Ends of the slot's children since the supervisor started, kills "
                           "included."};
constexpr family task_start_time{"vorn_restart_task_start_time_seconds", "gauge",
                                 "When the slot's child was started, in seconds since the epoch, "
                                 "while it has one."};
constexpr family task_exit_code{"vorn_restart_task_last_exit_code", "gauge",
                                "Exit status of the slot's latest end, when it exited."};
constexpr family task_exit_signal{"vorn_restart_task_last_exit_signal", "gauge",
                                  "Signal of the slot's latest end, when a signal ended it."};
constexpr family task_same_exits{"vorn_restart_task_same_exits", "gauge",
                                 "Latest ends of the slot in a row that ended alike."};
constexpr family task_stopped{"vorn_restart_task_stopped_since_seconds", "gauge",
                              "While the operator holds the slot's task down: since when, in "
                              "seconds since the epoch, with the uid that stopped it."};
constexpr family task_held_back{"vorn_restart_task_held_back", "gauge",
                                "1 while a not-run marker holds the slot back, else 0."};
constexpr family task_problem{"vorn_restart_task_problem", "gauge",
                              "1, with the reason as a label, while the slot's task is refused "
                              "and never started (a user that does not exist, a key out of "
                              "range), or while its latest start failed before its program "
                              "ran (a uid it cannot take, a directory it cannot enter)."};

constexpr family task_cpu{"vorn_restart_task_cpu_seconds_total", "counter",
                          "CPU time used by the processes of the slot's unit (its cgroup, or its "
                          "child and that child's descendants with what they reaped, added up "
                          "over its runs), read at most every 30 s."};
constexpr family task_memory{"vorn_restart_task_memory_bytes", "gauge",
                             "Memory of the slot's unit: its cgroup's memory.current where the "
                             "memory controller is on, else the summed proportional set size of "
                             "its processes, read at most every 30 s."};
constexpr family task_leftovers{"vorn_restart_task_leftover_processes", "gauge",
                                "Processes of the slot's cgroup that started before its running "
                                "child: left there by earlier runs of its task (only for tasks in "
                                "a cgroup of their own)."};

// What the units used, as last read; read again at most this often, and
// only when the metrics file is written at all.
constexpr std::time_t unit_sample_seconds = 30;
std::array<unit_reading, task_slot_count> unit_samples{};
std::time_t units_sampled_at = -1;

// Appends to a buffer of fixed size; once something does not fit, the
// whole document is spoilt rather than cut short.
class writer {
public:
    writer(char* buf, std::size_t cap) : buf_(buf), cap_(cap) {
        if (cap_ > 0) buf_[0] = '\0';
        ok_ = cap_ > 0;
    }

    // One sample of family f; the family's HELP and TYPE lines go before
    // its first sample, so that a family without samples is not named at all.
    void sample(const family& f, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        if (&f != current_) {
            current_ = &f;
            add("# HELP %s %s\n# TYPE %s %s\n", f.name, f.help, f.name, f.type);
        }
        add("%s", f.name);
        std::va_list args;
        va_start(args, format);
        if (ok_ && !vformat_text(buf_ + length_, cap_ - length_, format, args)) ok_ = false;
        va_end(args);
        if (ok_) length_ += std::strlen(buf_ + length_);
        add("\n");
    }

    std::size_t length() const { return ok_ ? length_ : 0; }

private:
    void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (!ok_) return;
        std::va_list args;
        va_start(args, format);
        ok_ = vformat_text(buf_ + length_, cap_ - length_, format, args);
        va_end(args);
        if (ok_) length_ += std::strlen(buf_ + length_);
    }

    char* buf_;
    std::size_t cap_;
    std::size_t length_ = 0;
    bool ok_ = true;
    const family* current_ = nullptr;
};

// The labels every series of a slot carries.
using slot_labels = std::array<char, label_value_size + 32>;

}  // namespace

bool metrics_label_value(const char* text, char* out, std::size_t cap) {
    static constexpr char replacement[] = "\xEF\xBF\xBD";  // U+FFFD
    std::string_view rest(text);
    std::size_t n = 0;
    while (!rest.empty()) {
        static constexpr char escaped_newline[] = "\\n";
        const std::size_t valid = utf8_length(rest);
        const char escaped[2] = {'\\', rest[0]};
        const char* piece = rest.data();
        std::size_t length = valid;
        if (valid == 0) {
            piece = replacement;
            length = 3;
        } else if (rest[0] == '\n') {
            piece = escaped_newline;
            length = 2;
        } else if (rest[0] == '\\' || rest[0] == '"') {
            piece = escaped;
            length = 2;
        }
        rest.remove_prefix(valid > 0 ? valid : 1);
        if (n + length >= cap) {
            if (cap > 0) out[0] = '\0';
            return false;
        }
        std::memcpy(out + n, piece, length);
        n += length;
    }
    if (cap == 0) return false;
    out[n] = '\0';
    return true;
}

namespace {

// The longest part of a configuration problem given as a label value.
constexpr std::size_t problem_label_max = 200;

// The problem as a label value: cut at a character's start when too long.
void problem_label(const char* problem, char* out, std::size_t cap) {
    std::array<char, problem_label_max + 4> part{};
    std::size_t n = std::strlen(problem);
    if (n > problem_label_max) {
        n = problem_label_max;
        // Back to the start of the character that would be cut.
        for (int back = 0; back < 3 && (problem[n] & 0xC0) == 0x80; ++back) --n;
        std::memcpy(part.data(), problem, n);
        std::memcpy(part.data() + n, "...", 4);
    } else {
        std::memcpy(part.data(), problem, n + 1);
    }
    metrics_label_value(part.data(), out, cap);
}

// The wall clock of a moment, from its boot clock: right after the clock is
// set, however early the moment.
long long wall_of(const moment& at, std::time_t wall, std::time_t boot) {
    return wall - (boot - at.boot);
}

void supervisor_samples(writer& out, std::time_t wall, std::time_t boot) {
    const supervisor_record& r = current_record;
    out.sample(start_time, " %lld", wall_of(r.started, wall, boot));
    out.sample(turns, " %u", r.turn);
    // Not known before the first configuration step: no sample then.
    if (r.configuration_read) out.sample(usable, " %d", r.usable ? 1 : 0);
    if (r.configuration_read && !r.usable) {
        std::array<char, (problem_label_max + 4) * 3> problem{};
        problem_label(r.problem.data(), problem.data(), problem.size());
        out.sample(problem_info, "{problem=\"%s\"} 1", problem.data());
    }
    if (r.configuration_read) out.sample(kill_works, " %d", r.kill_error == 0 ? 1 : 0);
    if (r.oom != oom_protection::not_asked)
        out.sample(oom_protected, " %d", r.oom == oom_protection::taken ? 1 : 0);
    static constexpr const char* updater_labels[updater_end_count] = {"0", "1", "other", "signal"};
    for (std::size_t i = 0; i < updater_end_count; ++i)
        out.sample(updater_exits, "{exit=\"%s\"} %u", updater_labels[i], r.updater_ends[i]);
}

// Why each refused slot's task never starts, or why its latest start never
// ran its program, as a label.
void refused_samples(writer& out, const std::array<slot_labels, task_slot_count>& labels,
                     const std::array<bool, task_slot_count>& shown) {
    static_assert(start_failure_text_size >= task_refusal_size);
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const char* reason = current_record.slots[i].start_failure.data();
        if (!shown[i] || (!task_refused(i, &reason) && reason[0] == '\0')) continue;
        std::array<char, start_failure_text_size * 3> problem{};
        metrics_label_value(reason, problem.data(), problem.size());
        out.sample(task_problem, "{%s,problem=\"%s\"} 1", labels[i].data(), problem.data());
    }
}

// What each slot's unit uses and what earlier runs left, as last read.
void unit_sample_lines(writer& out, const std::array<slot_labels, task_slot_count>& labels,
                       const std::array<bool, task_slot_count>& shown) {
    const auto each_slot = [&](auto&& write) {
        for (std::size_t i = 0; i < task_slot_count; ++i)
            if (shown[i]) write(i, labels[i].data(), current_record.slots[i]);
    };
    each_slot([&](std::size_t i, const char* l, const slot_record&) {
        if (unit_samples[i].usage.cpu_known)
            out.sample(task_cpu, "{%s} %.6f", l,
                       static_cast<double>(unit_samples[i].usage.cpu_usec) / 1e6);
    });
    each_slot([&](std::size_t i, const char* l, const slot_record&) {
        if (unit_samples[i].usage.memory_known)
            out.sample(task_memory, "{%s} %llu", l, unit_samples[i].usage.memory_bytes);
    });
    each_slot([&](std::size_t i, const char* l, const slot_record&) {
        if (unit_samples[i].leftovers >= 0)
            out.sample(task_leftovers, "{%s} %ld", l, unit_samples[i].leftovers);
    });
}

// Every family of the slots in turn, each over every slot that holds a task.
void slot_samples(writer& out, std::time_t wall, std::time_t boot) {
    std::array<slot_labels, task_slot_count> labels{};
    std::array<slot_state, task_slot_count> state{};
    std::array<bool, task_slot_count> shown{};
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        if (task_table[i].task_name[0] == '\0') continue;
        std::array<char, label_value_size + 1> name{};
        metrics_label_value(task_table[i].task_name.data(), name.data(), name.size());
        format_text(labels[i].data(), labels[i].size(), "slot=\"%zu\",name=\"%s\"", i, name.data());
        state[i] = state_of_slot(task_table[i], current_record.slots[i]);
        shown[i] = true;
    }
    const auto each_slot = [&](auto&& write) {
        for (std::size_t i = 0; i < task_slot_count; ++i)
            if (shown[i]) write(i, labels[i].data(), current_record.slots[i]);
    };
    each_slot([&](std::size_t i, const char* l, const slot_record& s) {
        out.sample(task_up, "{%s} %d", l, slot_up(task_table[i], s) ? 1 : 0);
    });
    each_slot([&](std::size_t i, const char* l, const slot_record&) {
        for (std::size_t n = 0; n < slot_state_count; ++n)
            out.sample(task_state, "{%s,state=\"%s\"} %d", l, slot_state_names[n],
                       static_cast<slot_state>(n) == state[i] ? 1 : 0);
    });
    each_slot([&](std::size_t, const char* l, const slot_record& s) {
        out.sample(task_starts, "{%s} %u", l, s.starts);
    });
    each_slot([&](std::size_t, const char* l, const slot_record& s) {
        out.sample(task_ends, "{%s} %u", l, s.ends);
    });
    each_slot([&](std::size_t i, const char* l, const slot_record& s) {
        if (task_table[i].task_pid != 0)
            out.sample(task_start_time, "{%s} %lld", l, wall_of(s.since, wall, boot));
    });
    each_slot([&](std::size_t, const char* l, const slot_record& s) {
        if (s.last_exit.kind == exit_kind::code)
            out.sample(task_exit_code, "{%s} %d", l, static_cast<int>(s.last_exit.value));
    });
    each_slot([&](std::size_t, const char* l, const slot_record& s) {
        if (s.last_exit.kind == exit_kind::signal)
            out.sample(task_exit_signal, "{%s} %d", l, static_cast<int>(s.last_exit.value));
    });
    each_slot([&](std::size_t, const char* l, const slot_record& s) {
        out.sample(task_same_exits, "{%s} %u", l, s.same_exits);
    });
    unit_sample_lines(out, labels, shown);
    each_slot([&](std::size_t i, const char* l, const slot_record&) {
        out.sample(task_held_back, "{%s} %d", l, state[i] == slot_state::held_back ? 1 : 0);
    });
    each_slot([&](std::size_t i, const char* l, const slot_record& s) {
        const operator_hold* hold = s.stopped ? hold_of_slot(i) : nullptr;
        if (hold != nullptr)
            out.sample(task_stopped, "{%s,uid=\"%u\"} %lld", l, static_cast<unsigned>(hold->by),
                       wall_of(hold->since, wall, boot));
    });
    refused_samples(out, labels, shown);
}

}  // namespace

std::size_t metrics_document(char* buf, std::size_t cap, std::time_t wall, std::time_t boot) {
    writer out(buf, cap);
    supervisor_samples(out, wall, boot);
    // As in the status file: no slot while the configuration is unusable.
    if (current_record.configuration_read && current_record.usable) slot_samples(out, wall, boot);
    return out.length();
}

void reset_metrics_output() {
    metrics_output = published_file{};
    metrics_current = false;
    unit_samples = {};
    units_sampled_at = -1;
}

namespace {

// Reads what the units use when the last reading is unit_sample_seconds old:
// true when it did, and the file is to be written again.
bool sample_units(std::time_t boot) {
    if (units_sampled_at >= 0 && boot - units_sampled_at < unit_sample_seconds) return false;
    units_sampled_at = boot;
    read_units(unit_samples);
    return true;
}

}  // namespace

void write_metrics_file() {
    if (metrics_path[0] == '\0') return;
    const std::time_t boot = sys.boot_seconds();
    if (sample_units(boot)) metrics_output.pending = true;
    if (current_record.changed || current_record.up_changed) metrics_output.pending = true;
    if (!write_due(metrics_output)) return;
    const std::size_t length =
        metrics_document(metrics_buffer, sizeof metrics_buffer, sys.now(), boot);
    int error = ENOBUFS;
    int written = -1;
    if (length > 0) {
        // No modification time of its own: the collector reports the real one.
        written = sys.replace_file(metrics_path.data(), metrics_buffer, length, -1);
        error = errno;
    }
    // A file left there would go on being collected as if it were current.
    metrics_current = written == 0;
    note_write(metrics_output, written == 0, "metrics", metrics_path.data(), error, boot);
}

void mark_metrics_current() {
    if (!metrics_current) return;
    if (sys.stamp_file(metrics_path.data(), sys.now()) == 0) return;
    // Gone or replaced by someone else: written afresh at the next pass.
    metrics_current = false;
    metrics_output.pending = true;
}

}  // namespace vorn
