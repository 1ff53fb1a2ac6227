// A task's processes as one unit (see process_units.hpp).
#include "base/process_units.hpp"

#include <cstring>
#include <unistd.h>

#include "base/platform.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

namespace {

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

// The file `name` of the cgroup at dir, read whole into buf.
bool read_cgroup_file(const char* dir, const char* name, char* buf, std::size_t cap,
                      std::string_view* text) {
    std::array<char, cgroup_path_size + 32> path{};
    return format_text(path.data(), path.size(), "%s/%s", dir, name) &&
           read_small(path.data(), buf, cap, text);
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

namespace {

void end_pid_line(pid_list_reader& r) {
    if (r.digits && !r.spoilt && r.value >= 2 &&
        r.value <= static_cast<unsigned long long>(pid_limit) &&
        !r.pids->push(static_cast<pid_t>(r.value)))
        r.failed = true;
    r.value = 0;
    r.digits = r.spoilt = false;
}

}  // namespace

bool read_pid_piece(pid_list_reader& r, std::string_view piece) {
    for (const char c : piece) {
        if (c == '\n') {
            end_pid_line(r);
        } else if (c >= '0' && c <= '9' && !r.spoilt) {
            r.value = r.value * 10 + static_cast<unsigned>(c - '0');
            r.digits = true;
            if (r.value > static_cast<unsigned long long>(pid_limit)) r.spoilt = true;
        } else {
            r.spoilt = true;
        }
    }
    return !r.failed;
}

void end_pid_list(pid_list_reader& r) {
    if (r.digits || r.spoilt) end_pid_line(r);
}

bool parse_cpu_usage(std::string_view text, unsigned long long* usec) {
    return parse_keyed_number(text, "usage_usec", usec);
}

bool parse_keyed_number(std::string_view text, std::string_view key, unsigned long long* value) {
    while (!text.empty()) {
        const std::string_view line = next_line(&text);
        if (word_of(line, 0) == key) return parse_kernel_number(word_of(line, 1), value);
    }
    return false;
}

bool parse_single_number(std::string_view text, unsigned long long* value) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return parse_kernel_number(text, value);
}

bool parse_pss(std::string_view text, unsigned long long* bytes) {
    // "Pss:                 123 kB", the number right-aligned after spaces.
    while (!text.empty()) {
        std::string_view line = next_line(&text);
        if (!line.starts_with("Pss:")) continue;
        line = tail_from(line, 4);
        while (!line.empty() && line[0] == ' ') line.remove_prefix(1);
        unsigned long long kib = 0;
        if (word_of(line, 1) != "kB" || !parse_kernel_number(word_of(line, 0), &kib) ||
            kib > kernel_number_limit / 1024)
            return false;
        *bytes = kib * 1024;
        return true;
    }
    return false;
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
    alignas(rarely_used) static char text[65536];
    std::string_view info;
    return read_small("/proc/self/mountinfo", text, sizeof text, &info) &&
           parse_cgroup2_mount(info, mount.data(), mount.size());
}

namespace {

// The cgroup a /proc/<pid>/cgroup file names, as a path below mount.
bool cgroup_of(const char* proc_file, const char* mount, cgroup_path& dir) {
    std::array<char, 4096> text{};
    std::string_view lines;
    cgroup_path own{};
    if (!read_small(proc_file, text.data(), text.size(), &lines) ||
        !parse_v2_cgroup(lines, own.data(), own.size()))
        return false;
    const bool root = std::strcmp(own.data(), "/") == 0;
    return format_text(dir.data(), dir.size(), "%s%s", mount, root ? "" : own.data()) &&
           (root || cgroup_below(dir.data(), mount));
}

}  // namespace

bool find_own_cgroup(const char* mount, cgroup_path& dir) {
    return cgroup_of("/proc/self/cgroup", mount, dir);
}

bool process_cgroup(pid_t pid, const char* mount, cgroup_path& dir) {
    std::array<char, 48> path{};
    return format_text(path.data(), path.size(), "/proc/%d/cgroup", static_cast<int>(pid)) &&
           cgroup_of(path.data(), mount, dir);
}

bool process_in_cgroup(pid_t pid, const char* mount, std::string_view dir) {
    cgroup_path now{};
    if (!process_cgroup(pid, mount, now)) return false;
    const std::string_view path = now.data();
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

bool supervisor_container(pid_t supervisor, const char* mount, cgroup_path& container) {
    cgroup_path own{};
    if (!process_cgroup(supervisor, mount, own)) return false;
    std::string_view base = own.data();
    const std::size_t slash = base.rfind('/');
    if (slash >= std::strlen(mount) && slash != std::string_view::npos &&
        tail_from(base, slash + 1) == supervisor_leaf_name)
        base = head(base, slash);
    return format_text(container.data(), container.size(), "%.*s/%s", static_cast<int>(base.size()),
                       base.data(), task_container_name);
}

bool task_cgroup_proven(std::string_view path, std::string_view name, pid_t supervisor,
                        cgroup_path& dir) {
    cgroup_path mount{}, container{}, expected{};
    if (supervisor <= 1 || !cgroup_name_usable(name) || name.find('\0') != std::string_view::npos ||
        !find_cgroup2_mount(mount) || !supervisor_container(supervisor, mount.data(), container) ||
        !format_text(expected.data(), expected.size(), "%s/%.*s", container.data(),
                     static_cast<int>(name.size()), name.data()))
        return false;
    return path == expected.data() && cgroup_below(path, mount.data()) && copy_text(dir, path);
}

namespace {

bool take_pids(void* context, const char* piece, std::size_t length) {
    return read_pid_piece(*static_cast<pid_list_reader*>(context), {piece, length});
}

// Every process of /proc whose cgroup is dir or lies below it.
bool processes_below(const char* mount, const char* dir, scratch_list<pid_t>& out) {
    scratch_list<pid_t> all;
    if (!list_all_processes(all)) return false;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i] > 1 && process_in_cgroup(all[i], mount, dir) && !out.push(all[i])) return false;
    return true;
}

}  // namespace

bool cgroup_processes(const char* mount, const char* dir, scratch_list<pid_t>& out) {
    out.shrink_to(0);
    std::array<char, 256> text{};
    std::string_view stat;
    unsigned long long below = 0;
    if (read_cgroup_file(dir, "cgroup.stat", text.data(), text.size(), &stat) &&
        parse_keyed_number(stat, "nr_descendants", &below) && below > 0)
        return processes_below(mount, dir, out);
    std::array<char, cgroup_path_size + 16> path{};
    if (!format_text(path.data(), path.size(), "%s/cgroup.procs", dir)) return false;
    std::array<char, 512> piece{};
    pid_list_reader reader{&out, 0, false, false, false};
    if (sys.read_file_pieces(path.data(), piece.data(), piece.size(), take_pids, &reader) != 0)
        return false;
    end_pid_list(reader);
    return !reader.failed;
}

long cgroup_leftovers(const char* mount, const char* dir, pid_t main, unit_member* out,
                      std::size_t cap) {
    scratch_list<pid_t> pids;
    if (!cgroup_processes(mount, dir, pids)) return -1;
    process_times main_times{};
    const bool running = main > 1 && read_process_times(main, &main_times);
    long count = 0;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        process_times t{};
        if (pids[i] == main || !read_process_times(pids[i], &t)) continue;
        if (running && t.start_ticks >= main_times.start_ticks) continue;
        if (static_cast<std::size_t>(count) < cap) out[count] = {pids[i], t.start_ticks};
        ++count;
    }
    return count;
}

namespace {

// Sums of any number of processes' figures stop at the limit.
void add_up(unsigned long long* sum, unsigned long long value) {
    *sum = *sum + value < kernel_number_limit ? *sum + value : kernel_number_limit;
}

unsigned long long ticks_to_usec(unsigned long long ticks) {
    const long tick_rate = ::sysconf(_SC_CLK_TCK);
    if (tick_rate <= 0) return 0;
    const auto rate = static_cast<unsigned long long>(tick_rate);
    return ticks / rate * 1000000ULL + ticks % rate * 1000000ULL / rate;
}

// The Pss of the process, 0 when it cannot be read (it has ended).
unsigned long long process_pss(pid_t pid) {
    std::array<char, 64> path{};
    std::array<char, 2048> text{};
    std::string_view rollup;
    unsigned long long bytes = 0;
    if (format_text(path.data(), path.size(), "/proc/%d/smaps_rollup", static_cast<int>(pid)) &&
        read_small(path.data(), text.data(), text.size(), &rollup) && parse_pss(rollup, &bytes))
        return bytes;
    return 0;
}

}  // namespace

unit_usage cgroup_usage(const char* mount, const char* dir) {
    std::array<char, 1024> text{};
    std::string_view content;
    unit_usage usage{};
    usage.cpu_known = read_cgroup_file(dir, "cpu.stat", text.data(), text.size(), &content) &&
                      parse_cpu_usage(content, &usage.cpu_usec);
    if (read_cgroup_file(dir, "memory.current", text.data(), text.size(), &content) &&
        parse_single_number(content, &usage.memory_bytes)) {
        usage.memory_known = true;
        return usage;
    }
    scratch_list<pid_t> pids;
    if (!cgroup_processes(mount, dir, pids)) return usage;
    usage.memory_known = true;
    for (std::size_t i = 0; i < pids.size(); ++i) add_up(&usage.memory_bytes, process_pss(pids[i]));
    return usage;
}

unit_usage process_tree_usage(const process_snapshot& table, pid_t main) {
    const std::size_t at = table.index_of(main);
    if (main <= 1 || at == table.size()) return unit_usage{};
    const unit_member root{main, table[at].start_ticks};
    scratch_list<int> depths;
    if (!tree_depths(table, &root, 1, depths)) return unit_usage{};
    unit_usage usage{true, 0, true, 0};
    unsigned long long ticks = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (depths[i] < 0) continue;
        add_up(&ticks, table[i].cpu_ticks + table[i].reaped_ticks);
        add_up(&usage.memory_bytes, process_pss(table[i].pid));
    }
    usage.cpu_usec = ticks_to_usec(ticks);
    return usage;
}

unit_usage process_tree_usage(pid_t main) {
    process_snapshot table;
    return table.take() ? process_tree_usage(table, main) : unit_usage{};
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
