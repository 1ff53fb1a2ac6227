#include "base/process_names.hpp"

#include <array>

#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

namespace {

constexpr process_names installed_supervisor() {
    process_names names{};
    for (std::size_t i = 0; i < supervisor_process_name.size(); ++i)
        names.comm[i] = supervisor_process_name[i];
    return names;
}

std::string_view base_name(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : tail_from(path, slash + 1);
}

// Large enough for the command line of any supervisor started with the
// options it knows; a longer one is cut, which only matters when a word
// past the cut would have been the one killall compares.
std::array<char, 4096> proc_text{};

std::string_view read_proc(const char* path) {
    const long n = sys.read_file(path, proc_text.data(), proc_text.size());
    return n > 0 ? std::string_view(proc_text.data(), static_cast<std::size_t>(n))
                 : std::string_view();
}

}  // namespace

process_names own_names = installed_supervisor();

void reset_own_names() { own_names = installed_supervisor(); }

void parse_process_names(process_names& names, std::string_view comm, std::string_view cmdline) {
    names = process_names{};
    if (comm.size() >= names.comm.size()) comm = head(comm, names.comm.size() - 1);
    copy_text(names.comm, comm);
    if (comm.size() != process_name_max) return;
    while (!cmdline.empty()) {
        const std::size_t end = cmdline.find('\0');
        const std::string_view word = head(cmdline, end);
        if (word.empty()) break;  // killall stops at an empty word
        const std::string_view base = base_name(word);
        if (head(base, comm.size()) == comm) {
            if (!copy_text(names.command, base)) copy_text(names.command, comm);
            return;
        }
        if (end == std::string_view::npos) break;
        cmdline.remove_prefix(end + 1);
    }
}

void note_own_names(const char* argv0) {
    std::array<char, 64> comm{};
    std::string_view text = read_proc("/proc/self/comm");
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (text.empty()) {
        text = base_name(argv0 ? argv0 : "");
        if (text.size() > process_name_max) text = head(text, process_name_max);
    }
    copy_text(comm, head(text, comm.size() - 1));
    const std::string_view cmdline = read_proc("/proc/self/cmdline");
    parse_process_names(own_names, text_view(comm),
                        cmdline.empty() ? std::string_view(argv0 ? argv0 : "") : cmdline);
}

namespace {

// The unsigned number that is the whole of text; false for anything else
// or for a value past 2^60, which is not one the kernel writes.
bool plain_number(std::string_view text, unsigned long long* value) {
    if (text.empty() || text.size() > 18) return false;
    unsigned long long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    *value = n;
    return true;
}

}  // namespace

process_stat parse_process_stat(std::string_view text) {
    // "<pid> (<name>) <state> <parent> ...": the name may hold anything,
    // a ')' included; the fields after the last ')' are plain words.
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos || close + 3 > text.size() || text[close + 1] != ' ')
        return {0, 0, 0};
    process_stat result{text[close + 2], 0, 0};
    std::string_view rest = tail_from(text, close + 2);
    for (int field = 3; field <= 22 && !rest.empty(); ++field) {
        const std::size_t end = rest.find_first_of(" \n");
        const std::string_view word = head(rest, end);
        unsigned long long value = 0;
        if (field == 4 && plain_number(word, &value) && value <= 0x7fffffff)
            result.parent = static_cast<pid_t>(value);
        if (field == 22 && plain_number(word, &value)) result.start_ticks = value;
        if (end == std::string_view::npos) break;
        rest = tail_from(rest, end + 1);
    }
    return result;
}

unsigned long long own_start_ticks() {
    return parse_process_stat(read_proc("/proc/self/stat")).start_ticks;
}

bool kill_by_name_reaches(std::string_view name, const process_names& names) {
    const std::string_view comm = text_view(names.comm);
    if (comm.size() != process_name_max) return name == comm;
    // A process name of the full length may have been cut short: a shorter
    // name cannot be the whole of it.
    if (name.size() < process_name_max) return false;
    if (!is_empty(names.command)) return name == text_view(names.command);
    return head(name, process_name_max) == comm;
}

}  // namespace vorn
