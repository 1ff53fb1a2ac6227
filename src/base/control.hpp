// The control channel between vorn_restart_ctl and the supervisor: where it
// is, and the requests that travel over it.  Both programs take the path,
// the verbs and the request's shape from here.
//
// The channel is a Unix stream socket at "<status_path>.ctl", so that a
// supervisor without a status file has none, and vorn_restart_ctl given the
// supervisor's --status_path finds it.  A request is one line of at most
// control_request_max bytes, words separated by one space:
//
//   restart NAME [GRACE_MS]   the child gets SIGTERM, SIGKILL after the grace
//   stop NAME [GRACE_MS]      the same, and the task is held down
//   start NAME                the hold ends and the task starts at once
//   signal NAME SIGNAL        one of HUP INT QUIT USR1 USR2 TERM KILL CONT
//   reload                    the configuration file, applied now
//
// NAME is the task's name with each byte that would split or end the line
// (a space, a control character) and each backslash written as \xHH, two
// hex digits: any name the configuration takes travels whole, and a plain
// one ("worker") is written as it is.
//
// The answer is lines of text for the operator; the last one is
// "exit N", the status vorn_restart_ctl ends with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

// A task's name, its terminator included (as the task table's).
inline constexpr std::size_t control_name_size = 64;
// The most bytes a name takes in a request: every byte written as \xHH.
inline constexpr std::size_t control_name_written_max = (control_name_size - 1) * 4;
// Longest request, its newline included.
inline constexpr std::size_t control_request_max = 272;
static_assert(control_request_max >=
                  sizeof "restart " - 1 + control_name_written_max + sizeof " 600000\n" - 1,
              "a restart with any name and the longest grace fits a request");
// The most words a request is read in: one more than any verb takes.
inline constexpr std::size_t control_words_max = 4;
// The grace before SIGKILL, in milliseconds: the default and the most.
inline constexpr std::uint32_t default_grace_ms = 5000;
inline constexpr std::uint32_t max_grace_ms = 600000;
// What the channel's name adds to the status file's.
inline constexpr char control_suffix[] = ".ctl";

enum class control_verb : std::uint8_t { restart, stop, start, signal, reload };

struct control_request {
    control_verb verb;
    std::array<char, control_name_size> name;  // "" for reload
    std::uint32_t grace_ms;                    // restart and stop
    int signal_number;                         // signal
};

// Exit statuses of vorn_restart_ctl, also sent as the answer's last line.
inline constexpr int control_done = 0;
inline constexpr int control_failed = 1;      // carried out, but not to its end
inline constexpr int control_refused = 2;     // unknown name, bad argument: nothing changed
inline constexpr int control_no_channel = 3;  // no supervisor to ask, or not allowed

// Room for any reason a request is refused.
inline constexpr std::size_t control_why_size = 160;

// Reads one request line (without its newline).  On a fault, false with
// why[] (of at least control_why_size bytes) saying it in words for the
// operator.
bool parse_control_request(std::string_view line, control_request& request, char* why,
                           std::size_t why_size);

// The request of its words taken apart, words[0] the verb and words[1] the
// name as it is (not written as a request writes it): vorn_restart_ctl's
// operands.  Refuses as parse_control_request does.
bool control_request_of(const std::string_view* words, std::size_t count, control_request& request,
                        char* why, std::size_t why_size);

// A task's name as a request writes it (see above), into buf[size], which
// control_name_written_max + 1 bytes always suffice for; false when it does
// not fit.  And read back into buf[size]: false for a backslash that does
// not begin \xHH of a byte other than 0, or when it does not fit.
bool write_control_name(std::string_view name, char* buf, std::size_t size);
bool read_control_name(std::string_view written, char* buf, std::size_t size);

// The request as a line, newline included, into buf[size]: what
// vorn_restart_ctl sends.  Its length, or 0 when it does not fit.
std::size_t format_control_request(const control_request& request, char* buf, std::size_t size);

// The verb's and the signal's names: "restart", "HUP".
const char* control_verb_name(control_verb verb);
const char* control_signal_name(int signal_number);

// "<status_path>.ctl" into buf[size]; false when it does not fit there or
// in a socket address.
bool control_channel_path(const char* status_path, char* buf, std::size_t size);

}  // namespace vorn
