// Each task's processes as one unit (see unit.hpp).
#include "supervise/unit.hpp"

#include <csignal>
#include <cstdint>
#include <cstring>

#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/record.hpp"

namespace vorn {

namespace {

// The process trees being ended: noted before their main process got its
// first signal, until SIGKILL ends them.  Two per slot: a reload may end
// an old child while a new one of the slot is already stopped.  Their
// members, however many, in scratch pages given back once none is noted.
struct noted_tree {
    pid_t main;  // 0: a free row
    unsigned long long main_start;
};
std::array<noted_tree, 2 * task_slot_count> trees{};
std::size_t next_tree = 0;

struct noted_member {
    std::size_t tree;
    int depth;  // below the main process
    unit_member member;
};
scratch_list<noted_member> noted;

// The look at /proc shared while a shared_process_look lives.
bool sharing = false;
bool shared_taken = false;
process_snapshot shared_table;

std::size_t tree_of(pid_t main) {
    for (std::size_t i = 0; i < trees.size(); ++i)
        if (trees[i].main == main) return i;
    return trees.size();
}

void forget_tree(std::size_t t) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < noted.size(); ++i)
        if (noted[i].tree != t) noted[kept++] = noted[i];
    noted.shrink_to(kept);
    if (noted.empty()) noted.release();
    trees[t] = noted_tree{};
}

// The table to look at: the shared one while a shared look lives, else
// `own`, taken now.  nullptr when /proc cannot be read.
const process_snapshot* table_now(process_snapshot& own) {
    if (!sharing) return own.take() ? &own : nullptr;
    if (!shared_taken) shared_taken = shared_table.take();
    return shared_taken ? &shared_table : nullptr;
}

// Whether the task's unit is its cgroup, made by this supervisor.
bool in_cgroup(const char* name, cgroup_path& dir) {
    return unit_cgroup_of(name, dir) && unit_cgroup_made(name);
}

// Never pid 1 or less, never the supervisor itself.
bool may_signal(pid_t pid) { return pid > 1 && pid != current_record.pid; }

// A process held, where the kernel gives a descriptor of it, from before
// its proof until its signal: the signal then reaches that process or
// none, even when its pid is free again in between.
class held_process {
public:
    explicit held_process(pid_t pid) : pid_(pid), handle_(sys.open_process_handle(pid)) {}
    ~held_process() {
        if (handle_ >= 0) sys.close_descriptor(handle_);
    }
    held_process(const held_process&) = delete;
    held_process& operator=(const held_process&) = delete;
    void signal(int number) const {
        if (handle_ >= 0)
            sys.signal_process_handle(handle_, number);
        else
            sys.send_signal(pid_, number);
    }

private:
    pid_t pid_;
    int handle_;
};

bool write_text(const char* path, const char* text) {
    const int fd = sys.open_for_writing(path);
    if (fd < 0) return false;
    const bool written = sys.write_descriptor(fd, text, std::strlen(text)) == 0;
    sys.close_descriptor(fd);
    return written;
}

// Whether the cgroup (or one below it) holds a process now; true when
// cgroup.events cannot tell.
bool populated(const char* dir) {
    std::array<char, cgroup_path_size + 16> path{};
    std::array<char, 128> text{};
    unsigned long long value = 1;
    if (!format_text(path.data(), path.size(), "%s/cgroup.events", dir)) return true;
    const long n = sys.read_file(path.data(), text.data(), text.size() - 1);
    return n <= 0 ||
           !parse_keyed_number({text.data(), static_cast<std::size_t>(n)}, "populated", &value) ||
           value != 0;
}

// Each process of the cgroup but main gets signal, when it is still in the
// cgroup as it gets it; SIGKILL by cgroup.kill where the kernel has it, and
// only when there is something to kill (see unit_cgroup_killed).
void signal_cgroup(const char* name, const char* dir, pid_t main, int signal) {
    std::array<char, cgroup_path_size + 16> path{};
    if (signal == SIGKILL && !populated(dir)) return;
    if (signal == SIGKILL && format_text(path.data(), path.size(), "%s/cgroup.kill", dir) &&
        write_text(path.data(), "1")) {
        unit_cgroup_killed(name);
        return;
    }
    scratch_list<pid_t> pids;
    if (!cgroup_processes(units.mount.data(), dir, pids)) return;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] == main || !may_signal(pids[i])) continue;
        const held_process process(pids[i]);
        if (process_in_cgroup(pids[i], units.mount.data(), dir)) process.signal(signal);
    }
}

struct ranked {
    std::size_t index;
    int depth;
};

// The deepest first: a child is proven by its parent, so the parent is
// signalled after it.
void deepest_first(scratch_list<ranked>& order) {
    heap_sort(order.data(), order.size(),
              [](const ranked& a, const ranked& b) { return a.depth > b.depth; });
}

// The noted members of tree t that are still the processes noted.
void signal_noted(std::size_t t, int signal) {
    scratch_list<ranked> order;
    for (std::size_t i = 0; i < noted.size(); ++i)
        if (noted[i].tree == t && !order.push({i, noted[i].depth})) break;
    deepest_first(order);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const unit_member m = noted[order[k].index].member;
        if (!may_signal(m.pid)) continue;
        const held_process process(m.pid);
        if (same_process(m.pid, m.start_ticks)) process.signal(signal);
    }
}

// Whether the process at index i of the table is, now, what made it a
// member: a root still the process noted, or a process still the child of
// a member that is still the process it was.
bool proven_in_tree(const process_snapshot& table, const scratch_list<int>& depths, std::size_t i) {
    const process_entry& e = table[i];
    process_times now{};
    if (!read_process_times(e.pid, &now) || now.start_ticks != e.start_ticks) return false;
    if (depths[i] == 0) return true;
    const std::size_t p = table.index_of(e.parent);
    return now.parent == e.parent && p < table.size() && depths[p] >= 0 &&
           same_process(e.parent, table[p].start_ticks);
}

// SIGKILL to tree t: its noted members and whatever they or the main
// process forked since, as the table shows them now.
void kill_tree(std::size_t t) {
    process_snapshot own;
    const process_snapshot* table = table_now(own);
    scratch_list<unit_member> roots;
    bool listed = roots.push({trees[t].main, trees[t].main_start});
    for (std::size_t i = 0; listed && i < noted.size(); ++i)
        if (noted[i].tree == t) listed = roots.push(noted[i].member);
    scratch_list<int> depths;
    scratch_list<ranked> order;
    if (table == nullptr || !listed || !tree_depths(*table, roots.data(), roots.size(), depths)) {
        signal_noted(t, SIGKILL);  // what was noted, at least
        forget_tree(t);
        return;
    }
    for (std::size_t i = 0; i < table->size(); ++i)
        if (depths[i] >= 0 && (*table)[i].pid != trees[t].main) order.push({i, depths[i]});
    deepest_first(order);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t i = order[k].index;
        if (!may_signal((*table)[i].pid)) continue;
        const held_process process((*table)[i].pid);
        if (proven_in_tree(*table, depths, i)) process.signal(SIGKILL);
    }
    forget_tree(t);
}

}  // namespace

shared_process_look::shared_process_look() {
    sharing = true;
    shared_taken = false;
}

shared_process_look::~shared_process_look() {
    sharing = false;
    shared_taken = false;
    shared_table.release();
}

void unit_ending(const char* name, pid_t main) {
    cgroup_path dir{};
    if (main <= 1 || in_cgroup(name, dir) || tree_of(main) != trees.size()) return;
    process_snapshot own;
    const process_snapshot* table = table_now(own);
    const std::size_t at = table != nullptr ? table->index_of(main) : 0;
    if (table == nullptr || at == table->size()) return;
    const std::size_t t = next_tree;
    next_tree = (next_tree + 1) % trees.size();
    if (trees[t].main != 0) forget_tree(t);
    trees[t] = {main, (*table)[at].start_ticks};
    const unit_member root{main, (*table)[at].start_ticks};
    scratch_list<int> depths;
    if (!tree_depths(*table, &root, 1, depths)) return;
    for (std::size_t i = 0; i < table->size(); ++i)
        if (depths[i] > 0 &&
            !noted.push({t, depths[i], {(*table)[i].pid, (*table)[i].start_ticks}}))
            return;
}

void unit_signal_rest(const char* name, pid_t main, int signal) {
    cgroup_path dir{};
    if (in_cgroup(name, dir)) {
        signal_cgroup(name, dir.data(), main, signal);
        return;
    }
    const std::size_t t = tree_of(main);
    if (main <= 1 || t == trees.size()) return;
    if (signal == SIGKILL)
        kill_tree(t);
    else
        signal_noted(t, signal);
}

void end_unit_now(const char* name, pid_t main) {
    unit_ending(name, main);
    sys.kill_process(main);
    unit_signal_rest(name, main, SIGKILL);
}

namespace {

// Where a slot's CPU time comes from: a cgroup (made again: another
// source), or a run of its task (a main process).
struct cpu_source {
    unsigned generation;
    unit_member main;
};

bool same_source(const cpu_source& a, const cpu_source& b) {
    return a.generation == b.generation && a.main.pid == b.main.pid &&
           a.main.start_ticks == b.main.start_ticks;
}

// A slot's CPU time as the metrics give it: the sources it had before
// (`ended`) and the one it has now (`last`), never less than what was shown.
struct cpu_account {
    std::array<char, task_name_size> name;
    cpu_source source;
    bool seen;
    unsigned long long ended, last, shown;
};
std::array<cpu_account, task_slot_count> accounts{};

void account_cpu(std::size_t slot, const char* name, const cpu_source& source, unit_usage& usage) {
    cpu_account& a = accounts[slot];
    if (std::strcmp(a.name.data(), name) != 0) {
        a = cpu_account{};
        copy_text(a.name, name);
    }
    if (!same_source(a.source, source)) {
        a.ended = a.ended + a.last < kernel_number_limit ? a.ended + a.last : kernel_number_limit;
        a.last = 0;
        a.source = source;
    }
    if (usage.cpu_known) {
        a.last = usage.cpu_usec;
        a.seen = true;
    }
    if (!a.seen) return;
    const unsigned long long total = a.ended + a.last;
    a.shown = total > a.shown ? total : a.shown;
    usage.cpu_known = true;
    usage.cpu_usec = a.shown;
}

}  // namespace

void read_units(std::array<unit_reading, task_slot_count>& readings) {
    process_snapshot table;
    bool taken = false, readable = false;
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const task_info& task = task_table[i];
        const char* name = task.task_name.data();
        readings[i] = {{}, -1};
        if (name[0] == '\0') {
            accounts[i] = cpu_account{};
            continue;
        }
        cgroup_path dir{};
        cpu_source source{};
        if (in_cgroup(name, dir)) {
            readings[i].usage = cgroup_usage(units.mount.data(), dir.data());
            readings[i].leftovers =
                cgroup_leftovers(units.mount.data(), dir.data(), task.task_pid, nullptr, 0);
            source.generation = unit_cgroup_generation(name);
        } else if (task.task_pid > 1) {
            if (!taken) readable = table.take();
            taken = true;
            const std::size_t at = readable ? table.index_of(task.task_pid) : table.size();
            if (at < table.size()) {
                readings[i].usage = process_tree_usage(table, task.task_pid);
                source.main = {task.task_pid, table[at].start_ticks};
            }
        }
        account_cpu(i, name, source, readings[i].usage);
    }
}

void reset_units() {
    reset_unit_cgroups();
    trees.fill(noted_tree{});
    noted.release();
    next_tree = 0;
    accounts = {};
    sharing = shared_taken = false;
    shared_table.release();
}

}  // namespace vorn
