// A task's processes as one unit (see process_units.hpp).
#include "base/process_units.hpp"

#include <cstring>
#include <unistd.h>

#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

namespace {

// The largest number taken from any of the files: 2^60, far past what the
// kernel writes, so that sums of a unit's processes cannot overflow.
constexpr unsigned long long number_limit = 1ULL << 60;

// The unsigned number that is the whole of word; false for anything else.
bool whole_number(std::string_view word, unsigned long long* value) {
    if (word.empty() || word.size() > 18) return false;
    unsigned long long n = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > number_limit) return false;
    *value = n;
    return true;
}

// The next line of *rest (without its newline); rest moves past it.
std::string_view next_line(std::string_view* rest) {
    const std::size_t end = rest->find('\n');
    const std::string_view line = head(*rest, end);
    *rest = end == std::string_view::npos ? std::string_view{} : tail_from(*rest, end + 1);
    return line;
}

// The n-th word (from 0) of a line of words separated by single spaces.
std::string_view word_of(std::string_view line, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return {};
        line = tail_from(line, space + 1);
    }
    return head(line, line.find(' '));
}

bool copy_out(std::string_view text, char* out, std::size_t cap) {
    if (text.empty() || text.size() >= cap) return false;
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return true;
}

// A small file read whole into buf[cap] (NUL-terminated): its text, or
// false when it cannot be read or fills the buffer (and may be cut short).
bool read_small(const char* path, char* buf, std::size_t cap, std::string_view* text) {
    const long n = sys.read_file(path, buf, cap - 1);
    if (n < 0 || static_cast<std::size_t>(n) >= cap - 1) return false;
    buf[n] = '\0';
    *text = {buf, static_cast<std::size_t>(n)};
    return true;
}

}  // namespace

bool parse_cgroup2_mount(std::string_view mountinfo, char* out, std::size_t cap) {
    // "id parent major:minor root mount-point options [optional...] - type source ..."
    while (!mountinfo.empty()) {
        const std::string_view line = next_line(&mountinfo);
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        if (word_of(tail_from(line, dash + 3), 0) != "cgroup2") continue;
        const std::string_view point = word_of(line, 4);
        // An octal escape (a space in the path) is not undone: such a mount is not used.
        if (point.empty() || point[0] != '/' || point.find('\\') != std::string_view::npos)
            continue;
        return copy_out(point, out, cap);
    }
    return false;
}

bool parse_v2_cgroup(std::string_view text, char* out, std::size_t cap) {
    while (!text.empty()) {
        const std::string_view line = next_line(&text);
        if (!line.starts_with("0::")) continue;
        const std::string_view path = tail_from(line, 3);
        if (path.empty() || path[0] != '/') return false;
        return copy_out(path, out, cap);
    }
    return false;
}

std::size_t parse_pid_list(std::string_view text, pid_t* pids, std::size_t cap) {
    std::size_t count = 0;
    while (!text.empty() && count < cap) {
        unsigned long long value = 0;
        if (whole_number(next_line(&text), &value) && value >= 2 &&
            value <= static_cast<unsigned long long>(pid_limit))
            pids[count++] = static_cast<pid_t>(value);
    }
    return count;
}

bool parse_cpu_usage(std::string_view text, unsigned long long* usec) {
    while (!text.empty()) {
        const std::string_view line = next_line(&text);
        if (word_of(line, 0) == "usage_usec") return whole_number(word_of(line, 1), usec);
    }
    return false;
}

bool parse_single_number(std::string_view text, unsigned long long* value) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return whole_number(text, value);
}

bool parse_process_times(std::string_view text, process_times* out) {
    // "<pid> (<name>) <state> <parent> ...": the name may hold anything.
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos || close + 3 > text.size() || text[close + 1] != ' ')
        return false;
    const std::string_view rest = tail_from(text, close + 2);  // from field 3, the state
    unsigned long long parent = 0, user = 0, system = 0, start = 0;
    if (!whole_number(word_of(rest, 1), &parent) ||
        parent > static_cast<unsigned long long>(pid_limit) ||
        !whole_number(word_of(rest, 11), &user) || !whole_number(word_of(rest, 12), &system) ||
        !whole_number(word_of(rest, 19), &start))
        return false;
    *out = {static_cast<pid_t>(parent), start, user + system};
    return true;
}

bool parse_resident_pages(std::string_view text, unsigned long long* pages) {
    return whole_number(word_of(head(text, text.find('\n')), 1), pages);
}

bool cgroup_name_usable(std::string_view name) {
    if (name.empty() || name[0] == '.' || name.find('/') != std::string_view::npos) return false;
    // The kernel's files in a cgroup are "<controller>.<name>".
    static constexpr std::string_view kernel_prefixes[] = {
        "cgroup.", "cpu.",     "cpuset.", "memory.", "io.",
        "pids.",   "hugetlb.", "rdma.",   "misc.",   "irq."};
    for (const std::string_view prefix : kernel_prefixes)
        if (name.starts_with(prefix)) return false;
    return true;
}

bool cgroup_below(std::string_view path, std::string_view mount) {
    if (mount.empty() || mount[0] != '/' || path.size() <= mount.size() + 1) return false;
    if (!path.starts_with(mount)) return false;
    std::string_view rest = tail_from(path, mount.size());
    if (mount != "/" && rest[0] != '/') return false;
    while (!rest.empty()) {
        if (rest[0] == '/') {
            rest.remove_prefix(1);
            continue;
        }
        const std::string_view part = head(rest, rest.find('/'));
        if (part == "." || part == "..") return false;
        rest = tail_from(rest, part.size());
    }
    return true;
}

bool find_cgroup2_mount(cgroup_path& mount) {
    static char text[65536];
    std::string_view info;
    return read_small("/proc/self/mountinfo", text, sizeof text, &info) &&
           parse_cgroup2_mount(info, mount.data(), mount.size());
}

bool find_own_cgroup(const char* mount, cgroup_path& dir) {
    std::array<char, 4096> text{};
    std::string_view lines;
    cgroup_path own{};
    if (!read_small("/proc/self/cgroup", text.data(), text.size(), &lines) ||
        !parse_v2_cgroup(lines, own.data(), own.size()))
        return false;
    const bool root = std::strcmp(own.data(), "/") == 0;
    return format_text(dir.data(), dir.size(), "%s%s", mount, root ? "" : own.data()) &&
           (root || cgroup_below(dir.data(), mount));
}

bool read_process_times(pid_t pid, process_times* times) {
    std::array<char, 64> path{};
    std::array<char, 1024> text{};
    std::string_view stat;
    return format_text(path.data(), path.size(), "/proc/%d/stat", static_cast<int>(pid)) &&
           read_small(path.data(), text.data(), text.size(), &stat) &&
           parse_process_times(stat, times);
}

bool same_process(pid_t pid, unsigned long long start_ticks) {
    process_times times{};
    return read_process_times(pid, &times) && times.start_ticks == start_ticks;
}

namespace {

bool listed(const unit_member* members, std::size_t count, pid_t pid) {
    for (std::size_t i = 0; i < count; ++i)
        if (members[i].pid == pid) return true;
    return false;
}

}  // namespace

long cgroup_members(const char* dir, unit_member* out, std::size_t cap) {
    std::array<char, cgroup_path_size + 16> path{};
    static char text[unit_process_max * 12 + 16];
    std::array<pid_t, unit_process_max> pids{};
    std::string_view lines;
    if (!format_text(path.data(), path.size(), "%s/cgroup.procs", dir)) return -1;
    const long n = sys.read_file(path.data(), text, sizeof text);
    if (n < 0) return -1;
    lines = {text, static_cast<std::size_t>(n)};
    const std::size_t count =
        parse_pid_list(lines, pids.data(), cap < pids.size() ? cap : pids.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        process_times times{};
        if (read_process_times(pids[i], &times)) out[kept++] = {pids[i], times.start_ticks};
    }
    return static_cast<long>(kept);
}

std::size_t process_descendants(pid_t root, const unit_member* known, std::size_t known_count,
                                unit_member* out, std::size_t cap) {
    static pid_t all[8192];
    static process_times times[8192];
    const long n = sys.list_processes(all, sizeof all / sizeof all[0]);
    if (n <= 0) return 0;
    const auto total = static_cast<std::size_t>(n);
    for (std::size_t i = 0; i < total; ++i)
        if (!read_process_times(all[i], &times[i])) times[i].parent = 0;
    // Level by level: a process is taken once its parent is root, known or taken.
    std::size_t count = 0;
    for (bool grew = true; grew && count < cap;) {
        grew = false;
        for (std::size_t i = 0; i < total && count < cap; ++i) {
            const pid_t pid = all[i], parent = times[i].parent;
            if (pid <= 1 || parent == 0 || pid == root || listed(out, count, pid) ||
                listed(known, known_count, pid))
                continue;
            if (parent != root && !listed(known, known_count, parent) &&
                !listed(out, count, parent))
                continue;
            out[count++] = {pid, times[i].start_ticks};
            grew = true;
        }
    }
    return count;
}

long cgroup_leftovers(const char* dir, pid_t main, unit_member* out, std::size_t cap) {
    static unit_member members[unit_process_max];
    static unit_member current[unit_process_max];
    const long count = cgroup_members(dir, members, unit_process_max);
    if (count <= 0) return count;
    const std::size_t descendants =
        main > 1 ? process_descendants(main, nullptr, 0, current, unit_process_max) : 0;
    std::size_t kept = 0;
    for (long i = 0; i < count && kept < cap; ++i) {
        const unit_member& m = members[i];
        if (m.pid != main && !listed(current, descendants, m.pid)) out[kept++] = m;
    }
    return static_cast<long>(kept);
}

unit_usage processes_usage(const unit_member* members, std::size_t count) {
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const long page = ::sysconf(_SC_PAGESIZE);
    unit_usage usage{true, 0, true, 0};
    for (std::size_t i = 0; i < count; ++i) {
        process_times times{};
        if (read_process_times(members[i].pid, &times) &&
            times.start_ticks == members[i].start_ticks && ticks > 0)
            usage.cpu_usec += times.cpu_ticks * 1000000ULL / static_cast<unsigned long long>(ticks);
        std::array<char, 64> path{};
        std::array<char, 256> text{};
        std::string_view statm;
        unsigned long long pages = 0;
        if (format_text(path.data(), path.size(), "/proc/%d/statm",
                        static_cast<int>(members[i].pid)) &&
            read_small(path.data(), text.data(), text.size(), &statm) &&
            parse_resident_pages(statm, &pages) && page > 0)
            usage.memory_bytes += pages * static_cast<unsigned long long>(page);
    }
    return usage;
}

unit_usage cgroup_usage(const char* dir) {
    std::array<char, cgroup_path_size + 32> path{};
    std::array<char, 1024> text{};
    std::string_view content;
    static unit_member members[unit_process_max];
    const long count = cgroup_members(dir, members, unit_process_max);
    unit_usage usage = processes_usage(members, count > 0 ? static_cast<std::size_t>(count) : 0);
    usage.cpu_known = usage.memory_known = count >= 0;
    if (format_text(path.data(), path.size(), "%s/cpu.stat", dir) &&
        read_small(path.data(), text.data(), text.size(), &content))
        usage.cpu_known = parse_cpu_usage(content, &usage.cpu_usec) || usage.cpu_known;
    unsigned long long bytes = 0;
    if (format_text(path.data(), path.size(), "%s/memory.current", dir) &&
        read_small(path.data(), text.data(), text.size(), &content) &&
        parse_single_number(content, &bytes)) {
        usage.memory_known = true;
        usage.memory_bytes = bytes;
    }
    return usage;
}

unit_usage process_tree_usage(pid_t main) {
    static unit_member members[unit_process_max];
    process_times times{};
    if (main <= 1 || !read_process_times(main, &times)) return unit_usage{};
    members[0] = {main, times.start_ticks};
    const std::size_t count =
        1 + process_descendants(main, nullptr, 0, members + 1, unit_process_max - 1);
    return processes_usage(members, count);
}

void process_name(pid_t pid, char* out, std::size_t cap) {
    std::array<char, 64> path{};
    std::array<char, 64> text{};
    std::string_view comm;
    if (format_text(path.data(), path.size(), "/proc/%d/comm", static_cast<int>(pid)) &&
        read_small(path.data(), text.data(), text.size(), &comm) &&
        copy_out(head(comm, comm.find('\n')), out, cap))
        return;
    copy_out("?", out, cap);
}

}  // namespace vorn
