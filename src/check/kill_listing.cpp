// The listing of what the next turn kills by name, from /proc (see
// kill_listing.hpp).
#include "check/kill_listing.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/process_names.hpp"
#include "base/process_units.hpp"
#include "base/text.hpp"
#include "check/shell_quote.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

std::array<std::array<char, task_name_size>, kill_names_max> names{};
std::size_t name_count = 0;
static_assert(kill_names_max <= 32, "one bit per name in reached_process::names");

constexpr std::size_t process_list_max = 32768;
std::array<pid_t, process_list_max> listed_processes{};

// A process that one of the recorded names reaches.
struct reached_process {
    pid_t pid;
    pid_t parent;         // 0 when not known
    std::uint32_t names;  // bit i: recorded name i reaches it
    bool started;         // by a supervisor: in one of its units
    std::array<char, 512> exe;
};
constexpr std::size_t reached_max = 128;
std::array<reached_process, reached_max> reached{};
std::size_t reached_count = 0;
std::size_t reached_dropped = 0;

constexpr std::size_t supervisors_max = 16;
std::array<pid_t, supervisors_max> supervisors{};
std::size_t supervisor_count = 0;

std::array<char, 64> proc_path{};
// Large enough for any stat line.  The command line, which has no such
// bound, is read in pieces instead (read_process_names).
std::array<char, 4096> proc_text{};

// /proc/<pid>/<entry> into buf (NUL-terminated); empty when it cannot be read.
std::string_view read_proc(pid_t pid, const char* entry, char* buf, std::size_t size) {
    if (!format_text(proc_path.data(), proc_path.size(), "/proc/%d/%s", static_cast<int>(pid),
                     entry))
        return {};
    const long n = sys.read_file(proc_path.data(), buf, size - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return {buf, static_cast<std::size_t>(n)};
}

// The names killall reads; false when the process is gone, or its command
// line is needed and cannot be read (killall leaves such a process alone).
bool read_names(pid_t pid, process_names& result) {
    std::array<char, 64> comm_text{};
    std::string_view comm = read_proc(pid, "comm", comm_text.data(), comm_text.size());
    if (comm.empty()) return false;
    if (comm.back() == '\n') comm.remove_suffix(1);
    std::array<char, 64> cmdline_path{};
    return format_text(cmdline_path.data(), cmdline_path.size(), "/proc/%d/cmdline",
                       static_cast<int>(pid)) &&
           read_process_names(result, comm, cmdline_path.data()) >= 0;
}

bool is_supervisor(pid_t pid) {
    for (std::size_t i = 0; i < supervisor_count; ++i)
        if (supervisors[i] == pid) return true;
    return false;
}

// Whether a supervisor started the process: it lies in the cgroup of one
// of a supervisor's tasks, or it descends from a supervisor (each parent
// started no later than its child, at most `steps` of them).
bool in_a_unit(pid_t pid, std::size_t steps) {
    cgroup_path mount{}, container{};
    const bool cgroups = find_cgroup2_mount(mount);
    for (std::size_t i = 0; cgroups && i < supervisor_count; ++i)
        if (supervisor_container(supervisors[i], mount.data(), container) &&
            process_in_cgroup(pid, mount.data(), container.data()))
            return true;
    process_times child{};
    if (!read_process_times(pid, &child)) return false;
    for (; steps > 0; --steps) {
        if (is_supervisor(child.parent)) return true;
        process_times parent{};
        if (child.parent <= 1 || !read_process_times(child.parent, &parent) ||
            parent.start_ticks > child.start_ticks)
            return false;
        child = parent;
    }
    return false;
}

void note_reached(pid_t pid, std::uint32_t mask) {
    if (reached_count == reached_max) {
        ++reached_dropped;
        return;
    }
    reached_process& process = reached[reached_count++];
    process.pid = pid;
    process.names = mask;
    process.parent = read_process_stat(pid).parent;
    std::array<char, 64> exe_path{};
    if (!format_text(exe_path.data(), exe_path.size(), "/proc/%d/exe", static_cast<int>(pid)) ||
        sys.read_link(exe_path.data(), process.exe.data(), process.exe.size()) < 0)
        copy_text(process.exe, "?");
}

// Looks at every process: what the names reach, and the supervisors.
// False when the processes cannot be listed.
bool find_processes(pid_t supervisor) {
    reached_count = 0;
    reached_dropped = 0;
    supervisor_count = 0;
    if (supervisor > 0) supervisors[supervisor_count++] = supervisor;
    const pid_t* process_list = nullptr;
    const long listed = list_processes_now(&process_list);
    if (listed < 0) {
        std::printf("the next turn kills by name: cannot list the processes: %s\n",
                    std::strerror(errno));
        return false;
    }
    const pid_t self = ::getpid();
    for (std::size_t i = 0; i < static_cast<std::size_t>(listed); ++i) {
        const pid_t pid = process_list[i];
        process_names found{};
        if (pid == self || !read_names(pid, found)) continue;
        if (supervisor <= 0 && supervisor_count < supervisors_max &&
            kill_by_name_reaches(supervisor_process_name, found))
            supervisors[supervisor_count++] = pid;
        std::uint32_t mask = 0;
        for (std::size_t k = 0; k < name_count; ++k)
            if (kill_by_name_reaches(text_view(names[k]), found)) mask |= 1u << k;
        if (mask != 0) note_reached(pid, mask);
    }
    for (std::size_t i = 0; i < reached_count; ++i)
        reached[i].started = in_a_unit(reached[i].pid, static_cast<std::size_t>(listed));
    if (static_cast<std::size_t>(listed) == process_list_max)
        std::printf("warning: more than %zu processes: only the first %zu are looked at\n",
                    process_list_max, process_list_max);
    return true;
}

const char* parent_text(pid_t parent) {
    static std::array<char, 16> text{};
    if (parent <= 0 || !format_text(text.data(), text.size(), "%d", static_cast<int>(parent)))
        return "?";
    return text.data();
}

}  // namespace

void forget_kill_names() {
    for (auto& name : names) name.fill('\0');
    name_count = 0;
}

int record_kill_by_name(const char* const* run, std::size_t count, kill_output) {
    for (std::size_t k = 0; k < count; ++k) {
        const char* name = run[k];
        bool known = false;
        for (std::size_t i = 0; i < name_count && !known; ++i)
            known = std::strcmp(names[i].data(), name) == 0;
        // A name longer than a task name is not a task's; the table never has one.
        if (!known && name_count < names.size() && copy_text(names[name_count], name)) ++name_count;
    }
    return 0;
}

std::size_t kill_name_count() { return name_count; }

const char* kill_name(std::size_t index) { return names[index].data(); }

process_stat read_process_stat(pid_t pid) {
    return parse_process_stat(read_proc(pid, "stat", proc_text.data(), proc_text.size()));
}

process_kind examine_process(pid_t pid, char* comm, std::size_t size) {
    process_names found{};
    const bool there = read_names(pid, found);
    copy_text(comm, size, there ? text_view(found.comm) : "");
    const char state = there ? read_process_stat(pid).state : '\0';
    if (state == '\0' || state == 'Z' || state == 'X') return process_kind::ended;
    return kill_by_name_reaches(supervisor_process_name, found) ? process_kind::supervisor
                                                                : process_kind::other;
}

bool named_as_supervisor(pid_t pid) {
    process_names found{};
    return read_names(pid, found) && kill_by_name_reaches(supervisor_process_name, found);
}

long list_processes_now(const pid_t** pids) {
    *pids = listed_processes.data();
    return sys.list_processes(listed_processes.data(), listed_processes.size());
}

bool process_owner(pid_t pid, uid_t* owner) {
    std::array<char, 32> path{};
    struct stat info {};
    if (!format_text(path.data(), path.size(), "/proc/%d", static_cast<int>(pid)) ||
        sys.stat_path(path.data(), &info) != 0)
        return false;
    *owner = info.st_uid;
    return true;
}

void print_kill_listing(pid_t supervisor) {
    if (name_count == 0 || !find_processes(supervisor)) return;
    std::puts("the next turn kills by name:");
    for (std::size_t k = 0; k < name_count; ++k) {
        bool any = false;
        for (std::size_t i = 0; i < reached_count; ++i) {
            const reached_process& process = reached[i];
            if ((process.names & (1u << k)) == 0) continue;
            any = true;
            std::printf("  %s: pid %d, %s, parent %s%s\n", shown(names[k].data()),
                        static_cast<int>(process.pid), shown(process.exe.data()),
                        parent_text(process.parent),
                        process.started ? "" : " (not started by vorn_restart)");
        }
        if (!any) std::printf("  %s: no process\n", shown(names[k].data()));
    }
    if (reached_dropped > 0)
        std::printf("  and %zu more processes these names reach, not listed\n", reached_dropped);
    for (std::size_t k = 0; k < name_count; ++k)
        for (std::size_t i = 0; i < reached_count; ++i) {
            const reached_process& process = reached[i];
            if ((process.names & (1u << k)) == 0 || process.started) continue;
            std::printf(
                "warning: the next turn kills process %d (%s) by the name \"%s\", and "
                "vorn_restart did not start it\n",
                static_cast<int>(process.pid), shown(process.exe.data()), shown(names[k].data()));
        }
}

}  // namespace vorn
