// The names by which killall finds a process (see process_names.hpp).
#include "base/process_names.hpp"

#include <array>

#include "base/platform.hpp"
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

// The pieces a command line is read in: any size will do, as the scan
// keeps only the word being read.
alignas(rarely_used) std::array<char, 4096> cmdline_piece{};

// A word of the command line has ended: whether its base name is the one
// killall compares.
void end_word(command_line_scan& scan) {
    process_names& names = *scan.names;
    if (!scan.in_word) {  // killall stops at an empty word
        names.command.fill('\0');
        scan.finished = true;
        return;
    }
    scan.in_word = false;
    const std::string_view comm = text_view(names.comm);
    const std::string_view base(names.command.data(), scan.base_length < command_name_max
                                                          ? scan.base_length
                                                          : command_name_max);
    if (head(base, comm.size()) != comm) {
        scan.base_length = 0;
        return;
    }
    scan.finished = true;
    // A base name that did not fit is not kept at all (see process_names).
    names.command_too_long = scan.base_length > command_name_max;
    const std::size_t kept = names.command_too_long ? 0 : base.size();
    for (std::size_t i = kept; i < names.command.size(); ++i) names.command[i] = '\0';
}

// Bytes of the current word (no NUL among them).
void add_to_word(command_line_scan& scan, std::string_view part) {
    if (part.empty()) return;
    scan.in_word = true;
    const std::size_t slash = part.rfind('/');
    if (slash != std::string_view::npos) {
        scan.base_length = 0;
        part = tail_from(part, slash + 1);
    }
    // Kept while it fits; past that only its being too long counts.
    const std::size_t room =
        scan.base_length < command_name_max ? command_name_max - scan.base_length : 0;
    for (std::size_t i = 0; i < part.size() && i < room; ++i)
        scan.names->command[scan.base_length + i] = part[i];
    scan.base_length = part.size() > room ? command_name_max + 1 : scan.base_length + part.size();
}

}  // namespace

process_names own_names = installed_supervisor();

void reset_own_names() { own_names = installed_supervisor(); }

command_line_scan start_command_line(process_names& names, std::string_view comm) {
    names = process_names{};
    if (comm.size() >= names.comm.size()) comm = head(comm, names.comm.size() - 1);
    copy_text(names.comm, comm);
    // killall reads the command line only for a process name that may
    // have been cut short.
    return {&names, 0, false, comm.size() != process_name_max};
}

bool scan_command_line(command_line_scan& scan, std::string_view piece) {
    while (!scan.finished && !piece.empty()) {
        const std::size_t end = piece.find('\0');
        add_to_word(scan, head(piece, end));
        if (end == std::string_view::npos) break;
        end_word(scan);
        piece.remove_prefix(end + 1);
    }
    return !scan.finished;
}

void end_command_line(command_line_scan& scan) {
    if (!scan.finished && scan.in_word) end_word(scan);
    if (!scan.finished) scan.names->command.fill('\0');
    scan.finished = true;
}

void parse_process_names(process_names& names, std::string_view comm, std::string_view cmdline) {
    command_line_scan scan = start_command_line(names, comm);
    scan_command_line(scan, cmdline);
    end_command_line(scan);
}

long read_process_names(process_names& names, std::string_view comm, const char* cmdline_path) {
    struct counted_scan {
        command_line_scan scan;
        long bytes;
    } state{start_command_line(names, comm), 0};
    if (state.scan.finished) return 0;
    const auto take = [](void* context, const char* piece, std::size_t length) {
        auto& counted = *static_cast<counted_scan*>(context);
        counted.bytes += static_cast<long>(length);
        return scan_command_line(counted.scan, {piece, length});
    };
    const int read = sys.read_file_pieces(cmdline_path, cmdline_piece.data(), cmdline_piece.size(),
                                          take, &state);
    // A read that fails part-way ends the command line there, as the end
    // of the file would.
    end_command_line(state.scan);
    return read < 0 && state.bytes == 0 ? -1 : state.bytes;
}

void note_own_names(const char* argv0) {
    std::array<char, 64> comm_text{};
    const long n = sys.read_file("/proc/self/comm", comm_text.data(), comm_text.size() - 1);
    std::string_view text(comm_text.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (text.empty()) {
        text = base_name(argv0 ? argv0 : "");
        if (text.size() > process_name_max) text = head(text, process_name_max);
    }
    std::array<char, 64> comm{};
    copy_text(comm, head(text, comm.size() - 1));
    if (read_process_names(own_names, text_view(comm), "/proc/self/cmdline") <= 0)
        parse_process_names(own_names, text_view(comm), argv0 ? argv0 : "");
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
        return {0, 0, 0, false, 0};
    process_stat result{text[close + 2], 0, 0, false, 0};
    std::string_view rest = tail_from(text, close + 2);
    for (int field = 3; field <= 52 && !rest.empty(); ++field) {
        const std::size_t end = rest.find_first_of(" \n");
        const std::string_view word = head(rest, end);
        unsigned long long value = 0;
        if (field == 4 && plain_number(word, &value) && value <= 0x7fffffff)
            result.parent = static_cast<pid_t>(value);
        if (field == 22 && plain_number(word, &value)) result.start_ticks = value;
        if (field == 52 && plain_number(word, &value) && value <= 0xffff) {
            result.exit_known = true;
            result.exit_status = static_cast<int>(value);
        }
        if (end == std::string_view::npos) break;
        rest = tail_from(rest, end + 1);
    }
    return result;
}

unsigned long long own_start_ticks() {
    std::array<char, 1024> text{};
    const long n = sys.read_file("/proc/self/stat", text.data(), text.size());
    if (n <= 0) return 0;
    return parse_process_stat({text.data(), static_cast<std::size_t>(n)}).start_ticks;
}

bool kill_by_name_reaches(std::string_view name, const process_names& names) {
    const std::string_view comm = text_view(names.comm);
    if (comm.size() != process_name_max) return name == comm;
    // A process name of the full length may have been cut short: a shorter
    // name cannot be the whole of it.
    if (name.size() < process_name_max) return false;
    if (names.command_too_long) return false;
    if (!is_empty(names.command)) return name == text_view(names.command);
    return head(name, process_name_max) == comm;
}

}  // namespace vorn
