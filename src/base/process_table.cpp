// The process table at one moment (see process_table.hpp).
#include "base/process_table.hpp"

#include <array>
#include <string_view>

#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

namespace {

// The n-th word (from 0) of a line of words separated by single spaces.
std::string_view word_of(std::string_view line, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return {};
        line = tail_from(line, space + 1);
    }
    return head(line, line.find(' '));
}

// The first list_processes tries; doubled while the list fills it.
constexpr std::size_t first_pid_room = 1024;

}  // namespace

bool list_all_processes(scratch_list<pid_t>& pids) {
    for (std::size_t room = first_pid_room;; room *= 2) {
        if (!pids.reserve(room)) return false;
        const long n = sys.list_processes(pids.data(), room);
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < room) {
            pids.set_written(static_cast<std::size_t>(n));
            return true;
        }
    }
}

bool parse_kernel_number(std::string_view word, unsigned long long* value) {
    if (word.empty() || word.size() > 18) return false;
    unsigned long long n = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > kernel_number_limit) return false;
    *value = n;
    return true;
}

bool parse_process_times(std::string_view text, process_times* out) {
    // "<pid> (<name>) <state> <parent> ...": the name may hold anything.
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos || close + 3 > text.size() || text[close + 1] != ' ')
        return false;
    const std::string_view rest = tail_from(text, close + 2);  // from field 3, the state
    unsigned long long parent = 0, user = 0, system = 0, reaped_user = 0, reaped_system = 0,
                       start = 0;
    if (!parse_kernel_number(word_of(rest, 1), &parent) ||
        parent > static_cast<unsigned long long>(pid_limit) ||
        !parse_kernel_number(word_of(rest, 11), &user) ||
        !parse_kernel_number(word_of(rest, 12), &system) ||
        !parse_kernel_number(word_of(rest, 13), &reaped_user) ||
        !parse_kernel_number(word_of(rest, 14), &reaped_system) ||
        !parse_kernel_number(word_of(rest, 19), &start))
        return false;
    *out = {static_cast<pid_t>(parent), start, user + system, reaped_user + reaped_system};
    return true;
}

bool read_process_times(pid_t pid, process_times* times) {
    std::array<char, 64> path{};
    std::array<char, 1024> text{};
    if (!format_text(path.data(), path.size(), "/proc/%d/stat", static_cast<int>(pid)))
        return false;
    const long n = sys.read_file(path.data(), text.data(), text.size() - 1);
    if (n <= 0 || static_cast<std::size_t>(n) >= text.size() - 1) return false;
    return parse_process_times({text.data(), static_cast<std::size_t>(n)}, times);
}

bool same_process(pid_t pid, unsigned long long start_ticks) {
    process_times times{};
    return read_process_times(pid, &times) && times.start_ticks == start_ticks;
}

bool process_snapshot::take() {
    entries_.shrink_to(0);
    scratch_list<pid_t> pids;
    if (!list_all_processes(pids) || !entries_.reserve(pids.size())) {
        entries_.release();
        return false;
    }
    for (std::size_t i = 0; i < pids.size(); ++i) {
        process_times t{};
        if (pids[i] > 0 && read_process_times(pids[i], &t))
            entries_.push({pids[i], t.parent, t.start_ticks, t.cpu_ticks, t.reaped_ticks});
    }
    heap_sort(entries_.data(), entries_.size(),
              [](const process_entry& a, const process_entry& b) { return a.pid < b.pid; });
    return true;
}

std::size_t process_snapshot::index_of(pid_t pid) const {
    std::size_t low = 0, high = entries_.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (entries_[mid].pid == pid) return mid;
        if (entries_[mid].pid < pid)
            low = mid + 1;
        else
            high = mid;
    }
    return entries_.size();
}

bool process_snapshot::holds(const unit_member& m) const {
    const std::size_t i = index_of(m.pid);
    return i < size() && entries_[i].start_ticks == m.start_ticks;
}

namespace {

constexpr int unknown_depth = -2, outside = -1;

// The index of the entry's parent, when that parent started no later than it.
std::size_t parent_index(const process_snapshot& table, std::size_t i) {
    const std::size_t p = table.index_of(table[i].parent);
    return p < table.size() && table[p].start_ticks <= table[i].start_ticks && p != i
               ? p
               : table.size();
}

// Walks up from entry i to a process already placed (or out of the
// table), then places every process of the walk.  At most size() steps:
// a loop of parents (pids read at different moments) ends outside.
void place(const process_snapshot& table, std::size_t i, int* depths) {
    std::size_t at = i, steps = 0;
    while (depths[at] == unknown_depth && steps <= table.size()) {
        const std::size_t p = parent_index(table, at);
        if (p == table.size()) break;
        at = p;
        ++steps;
    }
    const int found = depths[at] == unknown_depth || steps > table.size() ? outside : depths[at];
    // The walk again, from i: each gets the depth below what was found.
    std::size_t k = steps;
    for (at = i; k > 0 && depths[at] == unknown_depth; --k) {
        depths[at] = found == outside ? outside : found + static_cast<int>(k);
        at = parent_index(table, at);
    }
    if (depths[at] == unknown_depth) depths[at] = outside;
}

}  // namespace

bool tree_depths(const process_snapshot& table, const unit_member* roots, std::size_t root_count,
                 scratch_list<int>& depths) {
    depths.shrink_to(0);
    if (!depths.reserve(table.size())) return false;
    for (std::size_t i = 0; i < table.size(); ++i) depths.push(unknown_depth);
    for (std::size_t r = 0; r < root_count; ++r) {
        const std::size_t i = table.index_of(roots[r].pid);
        if (i < table.size() && table[i].start_ticks == roots[r].start_ticks) depths[i] = 0;
    }
    for (std::size_t i = 0; i < table.size(); ++i)
        if (depths[i] == unknown_depth) place(table, i, depths.data());
    return true;
}

}  // namespace vorn
