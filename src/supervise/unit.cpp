// Each task's processes as one unit (see unit.hpp).
#include "supervise/unit.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

#include "base/messages.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/record.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

bool task_cgroups_off = false;
unit_place units{};

namespace {

// The process trees being ended: noted before their main process got its
// first signal, until SIGKILL ends them.  Two per slot: a reload may end an
// old child while a new one of the slot is already stopped.
// The main pids apart from the members, so that forgetting every tree
// touches one line of memory and not the members' pages, which a
// supervisor that never ends a task never uses.
struct noted_tree {
    std::size_t count;
    std::array<unit_member, unit_process_max> members;
};
std::array<pid_t, 2 * task_slot_count> tree_mains{};
std::array<noted_tree, 2 * task_slot_count> trees{};
std::size_t next_tree = 0;

std::size_t tree_of(pid_t main) {
    for (std::size_t i = 0; i < tree_mains.size(); ++i)
        if (tree_mains[i] == main) return i;
    return tree_mains.size();
}

// Never pid 1 or less, never the supervisor itself.
bool may_signal(pid_t pid) { return pid > 1 && pid != current_record.pid; }

// A member still the process that was found in the unit.
void signal_member(const unit_member& m, int signal) {
    if (may_signal(m.pid) && same_process(m.pid, m.start_ticks)) sys.send_signal(m.pid, signal);
}

bool write_text(const char* path, const char* text) {
    const int fd = sys.open_for_writing(path);
    if (fd < 0) return false;
    const bool written = sys.write_descriptor(fd, text, std::strlen(text)) == 0;
    sys.close_descriptor(fd);
    return written;
}

// Each process of the cgroup but main gets signal; SIGKILL by cgroup.kill
// where the kernel has it.
void signal_cgroup(const char* dir, pid_t main, int signal) {
    std::array<char, cgroup_path_size + 16> path{};
    if (signal == SIGKILL && format_text(path.data(), path.size(), "%s/cgroup.kill", dir) &&
        write_text(path.data(), "1"))
        return;
    static unit_member members[unit_process_max];
    const long count = cgroup_members(dir, members, unit_process_max);
    for (long i = 0; i < count; ++i)
        if (members[i].pid != main) signal_member(members[i], signal);
}

void signal_tree(std::size_t index, int signal) {
    noted_tree& tree = trees[index];
    for (std::size_t i = 0; i < tree.count; ++i) signal_member(tree.members[i], signal);
    if (signal != SIGKILL) return;
    // What the members forked since they were noted: their children still
    // name them as their parent until they have ended.
    static unit_member late[unit_process_max];
    const std::size_t count = process_descendants(tree_mains[index], tree.members.data(),
                                                  tree.count, late, unit_process_max);
    for (std::size_t i = 0; i < count; ++i) signal_member(late[i], SIGKILL);
    tree_mains[index] = 0;
}

// The cgroups cannot be used: every task is followed as a process tree.
void give_up_cgroups(const char* dir, int error) {
    complain("no cgroup for the tasks (%s: %s): their processes are followed as process trees", dir,
             error_text(error));
    units.cgroups = false;
}

}  // namespace

void reset_units() {
    units = unit_place{};
    task_cgroups_off = false;
    tree_mains.fill(0);
    next_tree = 0;
}

void setup_units() {
    units.cgroups = false;
    if (task_cgroups_off || sys.effective_user() != 0) return;
    if (!find_cgroup2_mount(units.mount) || !find_own_cgroup(units.mount.data(), units.base))
        return;
    struct stat info {};
    units.cgroups = sys.lstat_path(units.base.data(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool unit_cgroup_of(const char* name, cgroup_path& dir) {
    return units.cgroups && cgroup_name_usable(name) &&
           format_text(dir.data(), dir.size(), "%s/%s", units.base.data(), name);
}

int unit_join_descriptor(std::size_t slot) {
    cgroup_path dir{};
    if (!unit_cgroup_of(task_table[slot].task_name.data(), dir)) return -1;
    if (sys.make_directory(dir.data()) != 0 && errno != EEXIST) {
        give_up_cgroups(dir.data(), errno);
        return -1;
    }
    // mkdir never follows a link: whatever is there must be a directory itself.
    struct stat info {};
    std::array<char, cgroup_path_size + 16> procs{};
    if (sys.lstat_path(dir.data(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        give_up_cgroups(dir.data(), ENOTDIR);
        return -1;
    }
    format_text(procs.data(), procs.size(), "%s/cgroup.procs", dir.data());
    const int fd = sys.open_for_writing(procs.data());
    if (fd < 0) give_up_cgroups(procs.data(), errno);
    return fd;
}

// The tree is noted for a task in a cgroup too: a child that could not
// join its cgroup runs all the same, and what it started is then found
// only as its descendants.
void unit_ending(const char*, pid_t main) {
    if (main <= 1 || tree_of(main) != tree_mains.size()) return;
    noted_tree& tree = trees[next_tree];
    tree_mains[next_tree] = main;
    next_tree = (next_tree + 1) % trees.size();
    tree.count = process_descendants(main, nullptr, 0, tree.members.data(), tree.members.size());
}

void unit_signal_rest(const char* name, pid_t main, int signal) {
    cgroup_path dir{};
    if (unit_cgroup_of(name, dir)) signal_cgroup(dir.data(), main, signal);
    if (const std::size_t index = tree_of(main); index != tree_mains.size())
        signal_tree(index, signal);
}

void end_unit_now(const char* name, pid_t main) {
    unit_ending(name, main);
    sys.kill_process(main);
    unit_signal_rest(name, main, SIGKILL);
}

}  // namespace vorn
