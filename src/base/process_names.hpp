// The names by which `killall <name>` finds a process, and the decision
// whether a name reaches it.  A kill-by-name run must never reach the
// supervisor itself.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace vorn {

// The kernel keeps a process name of at most 15 bytes (the base name of
// the executed file, cut short).
inline constexpr std::size_t process_name_max = 15;

// The longest command-line base name kept.  killall compares the whole
// base name, so a longer one never equals a name of this length or less
// (a task name has at most 63 bytes).
inline constexpr std::size_t command_name_max = 255;

struct process_names {
    // The process name as /proc/<pid>/stat shows it.
    std::array<char, 64> comm;
    // When comm has the full 15 bytes and may have been cut short: the base
    // name of the first command-line word that begins with it, which killall
    // then compares instead; empty when no word does.
    std::array<char, command_name_max + 1> command;
    // That base name is longer than command_name_max bytes: command stays
    // empty rather than hold it cut short, which a name could equal where
    // the whole base name does not.
    bool command_too_long;
};

// The names of the supervisor process.  Until note_own_names runs they are
// those of an installed supervisor, "vorn_restart", which is also what the
// configuration checker judges by.
extern process_names own_names;
inline constexpr std::string_view supervisor_process_name = "vorn_restart";

// Puts own_names back to those of an installed supervisor.
void reset_own_names();

// Fills names from a process name and a command line handed over in
// pieces of any size, as killall reads it: word by word to the first word
// whose base name begins with the process name, or to the first empty
// word.  Only the base name of the word being read is kept (in
// names.command), so a command line of any length takes no more room.
struct command_line_scan {
    process_names* names;
    std::size_t base_length;  // of the current word so far; command_name_max + 1 when longer
    bool in_word;             // a byte of the current word has been read
    bool finished;            // the names are settled: the rest is not looked at
};

// Starts filling names with the process name; `finished` when killall does
// not read the command line of such a process at all.
command_line_scan start_command_line(process_names& names, std::string_view comm);
// The next piece of the command line (its words separated by NUL bytes, as
// /proc/<pid>/cmdline has them).  False once the rest cannot change names.
bool scan_command_line(command_line_scan& scan, std::string_view piece);
// The command line has ended; its last word need not end with a NUL byte.
void end_command_line(command_line_scan& scan);

// Fills names from a process name and a whole command line.
void parse_process_names(process_names& names, std::string_view comm, std::string_view cmdline);

// Fills names from a process name and the command line in the file at
// cmdline_path, which is read through the system seam only when killall
// would read it, and only as far as killall would.  The bytes of command
// line read (0 when none are needed or there are none), or -1 when it is
// needed and cannot be read at all: killall then leaves the process alone.
long read_process_names(process_names& names, std::string_view comm, const char* cmdline_path);

// Reads the supervisor's own names from /proc/self through the system seam;
// without /proc, they are made from argv0 as the kernel would make them.
void note_own_names(const char* argv0);

// Whether `killall <name>` (no options, a name without '/') matches a
// process with these names: the whole name equals the process name, or,
// for a process name of the full 15 bytes, a name of 15 bytes or more
// equals the command-line base name (when there is one) or begins with the
// process name (when there is none).  A base name longer than
// command_name_max bytes is taken to equal no name.
bool kill_by_name_reaches(std::string_view name, const process_names& names);

// What /proc/<pid>/stat tells: the state letter (0 when the text is not a
// stat line), the parent, and the start time in clock ticks after boot
// (field 22), which with the pid names a process for good.
struct process_stat {
    char state;
    pid_t parent;
    unsigned long long start_ticks;
    // Field 52: how an ended process (a zombie) ended, as waitpid's status
    // word; only where the kernel gives it.
    bool exit_known;
    int exit_status;
};
process_stat parse_process_stat(std::string_view text);

// The start time of this process from /proc/self/stat; 0 when not known.
unsigned long long own_start_ticks();

}  // namespace vorn
