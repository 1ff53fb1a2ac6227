// The cgroups of the task units (see unit_cgroups.hpp).
#include "supervise/unit_cgroups.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/messages.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

bool task_cgroups_off = false;
unit_place units{};

namespace {

// A task cgroup made in this run; "" is a free row.  Twice the slots: the
// cgroups of tasks that left the table wait here until they can be removed.
struct made_cgroup {
    std::array<char, task_name_size> name;
    unsigned generation;
    bool leaving;
    bool killed;  // by cgroup.kill: no child is started into it by clone3
};
std::array<made_cgroup, 2 * task_slot_count> made{};
unsigned generations = 0;
std::size_t leaving_count = 0;
// The kernel cannot start a child in a cgroup: children join theirs.
bool join_only = false;

// How far below a cgroup that is removed its own cgroups are removed too.
constexpr int removal_depth = 4;

bool path_of(cgroup_path& out, const char* dir, const char* name) {
    return format_text(out.data(), out.size(), "%s/%s", dir, name);
}

// Why what is at path is not trusted as a cgroup of the supervisor's:
// nullptr when it is a directory of root's that only root can write.
const char* untrusted_because(const char* path) {
    struct stat info {};
    if (sys.lstat_path(path, &info) != 0) return "it cannot be looked at";
    if (!S_ISDIR(info.st_mode)) return "it is not a directory";
    if (info.st_uid != 0) return "root does not own it";
    if ((info.st_mode & 022) != 0) return "others than root may write to it";
    return nullptr;
}

int remove_cgroup(const char* dir, int depth);

struct removal {
    const char* dir;
    int depth;
};

bool remove_below(void* context, const char* name) {
    const removal& r = *static_cast<const removal*>(context);
    cgroup_path child{};
    if (path_of(child, r.dir, name)) remove_cgroup(child.data(), r.depth + 1);
    return true;
}

// Removes the cgroup at dir with the empty cgroups below it: 0, or the
// errno of what stays (EBUSY: it holds processes).
int remove_cgroup(const char* dir, int depth) {
    if (sys.remove_directory(dir) == 0 || errno == ENOENT) return 0;
    if (errno != EBUSY && errno != ENOTEMPTY) return errno;
    removal r{dir, depth};
    if (depth >= removal_depth || sys.list_directories(dir, remove_below, &r) != 0) return EBUSY;
    if (sys.remove_directory(dir) == 0 || errno == ENOENT) return 0;
    return errno == ENOTEMPTY ? EBUSY : errno;
}

// The cgroups cannot be used: every task is followed as a process tree.
void give_up_cgroups(const char* dir, const char* why) {
    complain("no cgroup for the tasks (%s: %s): their processes are followed as process trees", dir,
             why);
    units.cgroups = false;
}

// Whether a process other than this one is in the leaf: another
// supervisor runs in the same cgroup, and its container is not to be touched.
bool leaf_taken(const char* leaf) {
    scratch_list<pid_t> pids;
    if (!cgroup_processes(units.mount.data(), leaf, pids)) return false;
    for (std::size_t i = 0; i < pids.size(); ++i)
        if (pids[i] != ::getpid()) return true;
    return false;
}

// The container, made afresh: one found there is taken apart first.
bool make_container() {
    const char* dir = units.container.data();
    if (sys.make_directory(dir) == 0) return true;
    if (errno != EEXIST) {
        give_up_cgroups(dir, error_text(errno));
        return false;
    }
    std::array<char, 128> why{};
    if (const char* reason = untrusted_because(dir)) {
        format_text(why.data(), why.size(), "not trusted: %s", reason);
    } else if (const int error = remove_cgroup(dir, 0); error == EBUSY) {
        copy_text(why, "not trusted: it holds processes vorn_restart did not put there");
    } else if (error != 0 || sys.make_directory(dir) != 0) {
        format_text(why.data(), why.size(), "cannot be made afresh: %s",
                    error_text(error != 0 ? error : errno));
    } else {
        return true;
    }
    give_up_cgroups(dir, why.data());
    return false;
}

// The supervisor into its leaf, where it can: its own cgroup then holds
// only cgroups, as delegation asks.  It runs on where it is when it cannot.
void enter_leaf(const char* leaf) {
    cgroup_path procs{};
    const char* why = nullptr;
    if (sys.make_directory(leaf) != 0 && errno != EEXIST) why = error_text(errno);
    if (why == nullptr) why = untrusted_because(leaf);
    const int fd = why == nullptr && path_of(procs, leaf, "cgroup.procs")
                       ? sys.open_for_writing(procs.data())
                       : -1;
    if (why == nullptr && (fd < 0 || sys.write_descriptor(fd, "0", 1) != 0))
        why = error_text(errno);
    if (fd >= 0) sys.close_descriptor(fd);
    if (why != nullptr)
        complain("stays in the cgroup %s: cannot move into %s: %s", units.base.data(), leaf, why);
}

// The memory controller on for the task cgroups, where the supervisor's
// own cgroup passes it on: each then tells its memory.current.  Nothing is
// said when it cannot be: the summed Pss of their processes stands in.
void count_memory() {
    cgroup_path file{};
    std::array<char, 256> text{};
    if (!path_of(file, units.container.data(), "cgroup.controllers")) return;
    const long n = sys.read_file(file.data(), text.data(), text.size() - 1);
    const std::string_view offered(text.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    bool memory = false;
    for (std::size_t at = 0; at < offered.size() && !memory;) {
        const std::size_t end = offered.find_first_of(" \n", at);
        memory = offered.substr(at, end - at) == "memory";
        at = end == std::string_view::npos ? offered.size() : end + 1;
    }
    const int fd = memory && path_of(file, units.container.data(), "cgroup.subtree_control")
                       ? sys.open_for_writing(file.data())
                       : -1;
    if (fd < 0) return;
    sys.write_descriptor(fd, "+memory", 7);
    sys.close_descriptor(fd);
}

std::size_t find_made(const char* name) {
    for (std::size_t i = 0; i < made.size(); ++i)
        if (made[i].name[0] != '\0' && std::strcmp(made[i].name.data(), name) == 0) return i;
    return made.size();
}

void forget_made(std::size_t i) {
    if (made[i].leaving) --leaving_count;
    made[i] = made_cgroup{};
}

// A row for a cgroup made now: a free one, else the oldest of those still
// to be removed, which is then given up.
void note_made(const char* name) {
    std::size_t free = made.size();
    for (std::size_t i = 0; i < made.size() && free == made.size(); ++i)
        if (made[i].name[0] == '\0') free = i;
    for (std::size_t i = 0; i < made.size() && free == made.size(); ++i)
        if (made[i].leaving) {
            complain("no longer tries to remove the cgroup of %s", made[i].name.data());
            forget_made(i);
            free = i;
        }
    if (free == made.size()) return;
    made[free] = made_cgroup{{}, ++generations, false, false};
    copy_text(made[free].name, name);
}

enum class making { fresh, held, failed, given_up };

// The task's cgroup made afresh: one found there is removed first, with
// its empty cgroups, unless it holds processes.
making make_task_cgroup(const char* dir, int* error) {
    if (sys.make_directory(dir) == 0) return making::fresh;
    *error = errno;
    if (errno != EEXIST) return making::given_up;
    *error = remove_cgroup(dir, 0);
    if (*error == EBUSY) return making::held;
    if (*error != 0) return making::failed;
    if (sys.make_directory(dir) == 0) return making::fresh;
    *error = errno;
    return making::failed;
}

void refuse(child_plan* plan, cgroup_problem problem, int error) {
    plan->cgroup_refused = {error, start_step::cgroup, static_cast<std::uint8_t>(problem), {}};
}

// Whether the slot's cgroup is there, made by this supervisor: made now
// when it is not (or when it was removed behind its back), and made
// afresh after a cgroup.kill once it holds nothing.
bool ensure_task_cgroup(const char* name, const char* dir, child_plan* plan) {
    struct stat info {};
    if (const std::size_t i = find_made(name); i != made.size()) {
        if (made[i].killed && remove_cgroup(dir, 0) == 0) {
            forget_made(i);
        } else {
            if (sys.lstat_path(dir, &info) == 0) return true;
            forget_made(i);
        }
    }
    int error = 0;
    switch (make_task_cgroup(dir, &error)) {
        case making::fresh: note_made(name); return true;
        case making::held: refuse(plan, cgroup_problem::held, 0); return false;
        case making::failed: refuse(plan, cgroup_problem::make, error); return false;
        case making::given_up: give_up_cgroups(dir, error_text(error)); return false;
    }
    return false;
}

// The child joins its cgroup itself, as its first step.
void join_by_writing(const cgroup_path& dir, child_plan* plan) {
    cgroup_path procs{};
    const int fd = path_of(procs, dir.data(), "cgroup.procs") ? sys.open_for_writing(procs.data())
                                                              : (errno = ENAMETOOLONG, -1);
    if (fd < 0)
        refuse(plan, cgroup_problem::join, errno);
    else
        plan->cgroup_join_fd = fd;
}

}  // namespace

void reset_unit_cgroups() {
    units = unit_place{};
    task_cgroups_off = false;
    made = {};
    leaving_count = 0;
    join_only = false;
}

void setup_units() {
    units.cgroups = false;
    if (task_cgroups_off || sys.effective_user() != 0) return;
    if (!find_cgroup2_mount(units.mount) || !find_own_cgroup(units.mount.data(), units.base))
        return;
    cgroup_path leaf{};
    if (!path_of(units.container, units.base.data(), task_container_name) ||
        !path_of(leaf, units.base.data(), supervisor_leaf_name))
        return;
    if (leaf_taken(leaf.data())) {
        give_up_cgroups(units.container.data(),
                        "another process is in the supervisor's leaf beside it: not touched");
        return;
    }
    if (!make_container()) return;
    units.cgroups = true;
    enter_leaf(leaf.data());
    count_memory();
}

void end_units() {
    if (units.container[0] == '\0') return;
    for (std::size_t i = 0; i < made.size(); ++i) {
        cgroup_path dir{};
        if (made[i].name[0] != '\0' && path_of(dir, units.container.data(), made[i].name.data()))
            remove_cgroup(dir.data(), 0);
        forget_made(i);
    }
    remove_cgroup(units.container.data(), removal_depth);
}

bool unit_cgroup_of(const char* name, cgroup_path& dir) {
    return units.cgroups && cgroup_name_usable(name) && path_of(dir, units.container.data(), name);
}

bool unit_cgroup_made(const char* name) {
    return name[0] != '\0' && find_made(name) != made.size();
}

void unit_cgroup_killed(const char* name) {
    if (const std::size_t i = find_made(name); i != made.size()) made[i].killed = true;
}

unsigned unit_cgroup_generation(const char* name) {
    const std::size_t i = name[0] != '\0' ? find_made(name) : made.size();
    return i != made.size() ? made[i].generation : 0;
}

unit_start begin_unit_start(std::size_t slot, child_plan* plan) {
    unit_start start{-1, {}};
    const char* name = task_table[slot].task_name.data();
    if (!unit_cgroup_of(name, start.dir) || !ensure_task_cgroup(name, start.dir.data(), plan))
        return start;
    const std::size_t i = find_made(name);
    if (join_only || (i < made.size() && made[i].killed)) {
        join_by_writing(start.dir, plan);
        return start;
    }
    struct stat info {};
    start.cgroup_fd = sys.open_existing_directory(start.dir.data(), &info);
    if (start.cgroup_fd < 0) refuse(plan, cgroup_problem::join, errno);
    return start;
}

bool unit_start_by_joining(unit_start& start, int error, child_plan* plan) {
    // Out of processes or memory: fork would fail the same way.
    if (error == EAGAIN || error == ENOMEM) return false;
    if (error == ENOSYS || error == E2BIG || error == EINVAL) join_only = true;
    join_by_writing(start.dir, plan);
    return true;
}

void end_unit_start(unit_start& start, child_plan* plan) {
    if (start.cgroup_fd >= 0) sys.close_descriptor(start.cgroup_fd);
    if (plan->cgroup_join_fd >= 0) sys.close_descriptor(plan->cgroup_join_fd);
    start.cgroup_fd = plan->cgroup_join_fd = -1;
}

void units_follow_table() {
    for (made_cgroup& m : made) {
        if (m.name[0] == '\0') continue;
        bool listed = false;
        for (const task_info& t : task_table) listed = listed || t.task_name == m.name;
        if (m.leaving && listed) --leaving_count;
        if (!m.leaving && !listed) ++leaving_count;
        m.leaving = !listed;
    }
    tidy_unit_cgroups();
}

void tidy_unit_cgroups() {
    if (leaving_count == 0) return;
    for (std::size_t i = 0; i < made.size(); ++i) {
        cgroup_path dir{};
        if (!made[i].leaving || !path_of(dir, units.container.data(), made[i].name.data()))
            continue;
        const int error = remove_cgroup(dir.data(), 0);
        if (error == EBUSY) continue;  // its processes have not all ended yet
        if (error != 0) complain("cannot remove the cgroup %s: %s", dir.data(), error_text(error));
        forget_made(i);
    }
}

}  // namespace vorn
