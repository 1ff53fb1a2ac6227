// The configuration applied as a difference (see reload.hpp).
#include "supervise/reload.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>

#include "base/platform.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/record.hpp"
#include "supervise/start_gate.hpp"
#include "supervise/task_log.hpp"
#include "supervise/unit.hpp"
#include "tasks/config.hpp"
#include "tasks/task_settings.hpp"

namespace vorn {

namespace {

constexpr std::size_t slots = task_slot_count;

struct old_table {
    std::array<task_info, slots> tasks;
    std::int32_t size;
    std::array<std::size_t, slots> arguments;
    // Each slot's mode as the file wrote it: after any reap the cycle
    // turns a `once` slot into `none` in the table, the record keeps it.
    std::array<std::int32_t, slots> modes;
    // The settings of the slots that had them; a row not in use is never
    // touched.
    std::array<bool, slots> settings_used;
    std::array<task_settings, slots> settings;
};

alignas(rarely_used) old_table saved{};

void save_table() {
    saved.tasks = task_table;
    saved.size = task_info_size;
    saved.arguments = configured_arguments;
    for (std::size_t i = 0; i < slots; ++i) {
        const slot_record& s = current_record.slots[i];
        const bool known = text_view(s.name) == text_view(task_table[i].task_name);
        saved.modes[i] = known ? s.configured_mode : task_table[i].task_mode;
        saved.settings_used[i] = task_settings_used[i];
        if (task_settings_used[i]) saved.settings[i] = task_settings_table[i];
    }
}

void restore_settings() {
    clear_task_settings();
    for (std::size_t i = 0; i < slots; ++i) {
        task_settings_used[i] = saved.settings_used[i];
        if (saved.settings_used[i]) task_settings_table[i] = saved.settings[i];
    }
}

// Whether two rows of settings ask for the same: compared member by
// member, never over the padding between them.
bool same_settings(const task_settings& a, const task_settings& b) {
    return a.refusal == b.refusal && a.identity == b.identity && a.uid == b.uid && a.gid == b.gid &&
           a.group_count == b.group_count && a.groups == b.groups && a.directory == b.directory &&
           a.variable_count == b.variable_count && a.variables == b.variables &&
           a.limits_set == b.limits_set && a.limits == b.limits && a.nice_set == b.nice_set &&
           a.nice == b.nice && a.oom_score_set == b.oom_score_set &&
           a.oom_score_adjust == b.oom_score_adjust && a.no_new_privileges == b.no_new_privileges &&
           a.capabilities_set == b.capabilities_set && a.capabilities == b.capabilities;
}

bool same_settings_in(std::size_t old_slot, std::size_t new_slot) {
    const bool used = task_settings_used[new_slot];
    if (saved.settings_used[old_slot] != used) return false;
    return !used || same_settings(saved.settings[old_slot], task_settings_table[new_slot]);
}

bool same_name(std::size_t old_slot, std::size_t new_slot) {
    return saved.tasks[old_slot].task_name == task_table[new_slot].task_name;
}

// The old entry, as the file wrote it, and the new one are the same.
bool unchanged(std::size_t old_slot, std::size_t new_slot) {
    const task_info& a = saved.tasks[old_slot];
    const task_info& b = task_table[new_slot];
    return saved.modes[old_slot] == b.task_mode && a.task_system == b.task_system &&
           a.task_name == b.task_name && a.task_path == b.task_path &&
           a.task_argument == b.task_argument && same_settings_in(old_slot, new_slot);
}

bool unchanged_in_its_slot(std::size_t old_slot, std::size_t new_slot) {
    return old_slot == new_slot && unchanged(old_slot, new_slot);
}

bool same_name_in_its_slot(std::size_t old_slot, std::size_t new_slot) {
    return old_slot == new_slot && same_name(old_slot, new_slot);
}

// Which old entry a new one takes the place of, in this order: an
// unchanged entry in its own slot, an unchanged one that moved, then a
// changed entry of the same name, in its own slot first.
using fits_fn = bool (*)(std::size_t old_slot, std::size_t new_slot);
constexpr fits_fn pairing_order[] = {unchanged_in_its_slot, unchanged, same_name_in_its_slot,
                                     same_name};

// Per new slot, the old slot it takes the place of (-1: none).
std::array<int, slots> pair_up() {
    std::array<int, slots> from{};
    from.fill(-1);
    std::array<bool, slots> taken{};
    for (const fits_fn fits : pairing_order)
        for (std::size_t j = 0; j < slots; ++j) {
            if (task_table[j].task_name[0] == '\0' || from[j] >= 0) continue;
            for (std::size_t i = 0; i < slots && from[j] < 0; ++i)
                if (!taken[i] && fits(i, j)) {
                    from[j] = static_cast<int>(i);
                    taken[i] = true;
                }
        }
    return from;
}

bool named_in(const std::array<task_info, slots>& table, const char* name) {
    if (name[0] == '\0') return false;
    for (const task_info& t : table)
        if (std::strcmp(t.task_name.data(), name) == 0) return true;
    return false;
}

template <std::size_t N>
void add_name(std::array<char, N>& list, const char* name, const char* separator = " ") {
    const std::size_t used = std::strlen(list.data());
    format_text(list.data() + used, N - used, "%s%s", used > 0 ? separator : "", name);
}

// What happens to each new slot's task, and the old children that end.
void compare(reload_result& result, const std::array<int, slots>& from) {
    std::array<int, slots> to{};
    to.fill(-1);
    for (std::size_t j = 0; j < slots; ++j) {
        const int i = from[j];
        if (i >= 0) to[static_cast<std::size_t>(i)] = static_cast<int>(j);
        if (task_table[j].task_name[0] == '\0') continue;
        result.change[j] = i < 0                                       ? reload_change::added
                           : unchanged(static_cast<std::size_t>(i), j) ? reload_change::kept
                                                                       : reload_change::changed;
    }
    for (std::size_t i = 0; i < slots; ++i) {
        const task_info& old = saved.tasks[i];
        const int j = to[i];
        if (j < 0 && old.task_name[0] != '\0') add_name(result.stopped, old.task_name.data());
        if (old.task_pid == 0 || (j >= 0 && result.change[j] == reload_change::kept)) continue;
        result.ending[i] = old.task_pid;
        result.waiting[i] = j;
    }
}

// Each task taken over keeps its child (a changed one holds the old pid
// until it has ended) and its log; a kept one keeps its mode as the cycle
// left it, so that a `once` task that has run is not run again.
void carry_children(const reload_result& result, const std::array<int, slots>& from) {
    const std::array<task_log_state, slots> logs = task_logs.slots;
    for (std::size_t j = 0; j < slots; ++j) {
        const int i = from[j];
        task_logs.slots[j] = i >= 0 ? logs[static_cast<std::size_t>(i)] : task_log_state{-1, false};
        if (i < 0) continue;
        const task_info& old = saved.tasks[static_cast<std::size_t>(i)];
        task_table[j].task_pid = old.task_pid;
        if (result.change[j] == reload_change::kept) task_table[j].task_mode = old.task_mode;
    }
}

// Stale copies of the names that were not in the table, in one run.
void kill_new_names() {
    std::array<const char*, slots> names{};
    std::size_t count = 0;
    for (const task_info& t : task_table)
        if (t.task_name[0] != '\0' && !named_in(saved.tasks, t.task_name.data()))
            names[count++] = t.task_name.data();
    if (count > 0) kill_stale_copies(names.data(), count, kill_output::stderr_kept);
}

}  // namespace

bool begin_reload(reload_result& result) {
    result = reload_result{};
    result.waiting.fill(-1);
    save_table();
    config_problem problem;
    if (!read_config_tasks(&problem)) {
        if (!format_config_problem(result.problem.data(), result.problem.size(), problem))
            copy_text(result.problem, problem.text.data());
        task_table = saved.tasks;
        task_info_size = saved.size;
        configured_arguments = saved.arguments;
        restore_settings();
        return false;
    }
    const std::array<int, slots> from = pair_up();
    compare(result, from);
    kill_new_names();
    record_reloaded(from);
    carry_children(result, from);
    units_follow_table();  // the cgroups of tasks that left it go once they hold nothing
    for (std::size_t j = 0; j < slots; ++j) result.starts[j] = current_record.slots[j].starts;
    const shared_process_look one_look;  // for every unit that ends
    for (std::size_t i = 0; i < slots; ++i) {
        if (result.ending[i] == 0) continue;
        const char* name = saved.tasks[i].task_name.data();
        unit_ending(name, result.ending[i]);
        sys.send_signal(result.ending[i], SIGTERM);
        unit_signal_rest(name, result.ending[i], SIGTERM);
        // Its end, recorded in the slot that waits for it, is no crash.
        if (result.waiting[i] >= 0) record_ending(static_cast<std::size_t>(result.waiting[i]));
    }
    return true;
}

const char* ending_task_name(std::size_t old_slot) {
    return old_slot < slots ? saved.tasks[old_slot].task_name.data() : "";
}

void keep_new_once_entries(const reload_result& result) {
    for (std::size_t j = 0; j < slots; ++j) {
        const slot_record& s = current_record.slots[j];
        task_info& task = task_table[j];
        const bool brought =
            result.change[j] == reload_change::changed || result.change[j] == reload_change::added;
        if (brought && task.task_pid == 0 && s.configured_mode == mode_once &&
            s.starts == result.starts[j])
            task.task_mode = mode_once;
    }
}

namespace {

// The longest reason a task is not started, with what goes around it: a
// marker's path or why its entry is refused.
constexpr std::size_t longest_reason = std::max(sizeof " (not run: /tmp/..nr), " + task_name_size,
                                                sizeof " (refused: ), " + task_refusal_size);
using name_list = std::array<char, slots * task_name_size>;
using reason_list = std::array<char, slots*(task_name_size + longest_reason)>;

static_assert(2 * slots * task_name_size + slots * longest_reason + 128 <= reload_answer_size,
              "every name of both tables, and a reason for each new one, fit in the answer");
static_assert(marker_path_size >= sizeof "refused: " + task_refusal_size);

// Why the slot's task does not start now (into why), or false when it
// does or runs.
bool not_started(std::size_t slot, marker_path& why) {
    const task_info& task = task_table[slot];
    if (task.task_pid != 0) return false;
    if (current_record.slots[slot].stopped) return copy_text(why, "held down");
    if (task.task_mode == mode_none) return copy_text(why, "mode none");
    if (const char* reason = nullptr; task_refused(slot, &reason))
        return format_text(why.data(), why.size(), "refused: %s", reason);
    const task_markers markers = markers_of(task);
    const marker_ref* marker = holding_marker(markers);
    return marker != nullptr &&
           format_text(why.data(), why.size(), "not run: %s", marker->path.data());
}

// Whether the reload ended a child of the old table for the slot's task.
bool ended_for(const reload_result& result, std::size_t slot) {
    for (const int waiting : result.waiting)
        if (waiting == static_cast<int>(slot)) return true;
    return false;
}

void add_reason(reason_list& list, const char* name, const marker_path& why) {
    std::array<char, task_name_size + longest_reason> entry{};
    format_text(entry.data(), entry.size(), "%s (%s)", name, why.data());
    add_name(list, entry.data(), ", ");
}

template <std::size_t N>
const char* or_none(const std::array<char, N>& list) {
    return list[0] != '\0' ? list.data() : "none";
}

}  // namespace

// A changed task whose old child ended is restarted when it starts again,
// and stopped (with why) when it does not; one that had no child is
// started, or not started (with why).
bool format_reload_answer(const reload_result& result, char* buf, std::size_t size) {
    name_list kept{}, restarted{}, started{};
    reason_list stopped{}, held{};
    if (result.stopped[0] != '\0') copy_text(stopped, result.stopped.data());
    for (std::size_t j = 0; j < slots; ++j) {
        const char* name = task_table[j].task_name.data();
        if (result.change[j] == reload_change::none) continue;
        if (result.change[j] == reload_change::kept) {
            add_name(kept, name);
            continue;
        }
        const bool ended = ended_for(result, j);
        marker_path why{};
        if (!not_started(j, why))
            add_name(ended ? restarted : started, name);
        else if (ended)
            add_reason(stopped, name, why);
        else
            add_reason(held, name, why);
    }
    return format_text(buf, size, "reloaded: kept %s; restarted %s; stopped %s; started %s%s%s",
                       or_none(kept), or_none(restarted), or_none(stopped), or_none(started),
                       held[0] != '\0' ? "; not started " : "", held.data());
}

}  // namespace vorn
