// The operator's commands (base/control.hpp for the channel's requests):
// the channel beside the status file, the clients connected to it, and
// what their requests do to the slots.  The channel and every client are
// sources of the supervisor's one wait, and each timed step (a client's
// time to send its request, the grace before SIGKILL, the wait after it)
// is a deadline of that wait: nothing a client does moves a pass.  A
// request is carried out as soon as it is whole; one that must wait for a
// child to end is answered when the child's descriptor tells its end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/types.h>

#include "base/control.hpp"
#include "supervise/reload.hpp"

namespace vorn {

// Clients served at once; one more is told that the supervisor is busy,
// unless a place can be taken back (control_place_ms).
inline constexpr std::size_t control_client_count = 4;
// Where children are not held by descriptors, the time between two looks
// at a child that is being ended: 1 ms at first, twice as long each time,
// up to control_piece_ms.
inline constexpr unsigned control_piece_ms = 16;
// A client's time to send its whole request.
inline constexpr long long control_request_ms = 5000;
// A client's place is its own for this long; after it, one that has not
// sent its whole request yet gives its place to a newcomer when no other
// is free, so that clients that send nothing do not lock the operator out.
inline constexpr long long control_place_ms = 1000;
// A child started by a command: its time to execute its program.
inline constexpr long long control_exec_ms = 10000;

// starting: a command's new child has not executed its program yet.
enum class client_stage : std::uint8_t { free, reading, ending, reloading, starting };

struct control_client {
    int fd = -1;
    pid_t pid;  // the peer, as the kernel tells
    uid_t uid;
    client_stage stage;
    std::array<char, control_request_max> text;
    std::size_t used;
    long long deadline_ms;  // boot clock: the whole request by then
    control_request request;
    std::size_t slot;
    pid_t ending;       // the child being ended
    long long due_ms;   // boot clock: the end of the grace, then of the wait after SIGKILL
    long long look_ms;  // the next look at the child, where no descriptor tells its end
    unsigned piece_ms;  // between two such looks
    bool killed;
    // starting: the new child, the read end of its exec report (one of
    // the wait's sources), and what its answer says before the child:
    // "restarted" and ": pid 41 ended (signal 15)".
    pid_t started;
    int report_fd = -1;
    const char* done;
    std::array<char, 64> before;
};

struct control_state {
    int listen_fd = -1;  // -1 without a channel
    std::array<char, 112> path;
    std::array<control_client, control_client_count> clients;
    std::size_t readers;  // clients whose request is not whole yet
    std::size_t busy;     // clients taken, not let go yet
    bool start_wanted;    // a reload is done: the start step, now
    bool turn_now;        // a usable file came during the wait after an unusable one
};

extern control_state control;

// No channel, no clients.
void reset_control();
// Opens the channel beside the status file, when there is one.  A channel
// that cannot be made (a directory others may write to, something else
// at its path) is said once on standard error; supervision goes on.
void open_control_channel();
// The channel, the clients whose request is not whole yet and the exec
// reports waited for, from fds[0]: their count (at most cap).
std::size_t control_wait_sources(struct pollfd* fds, std::size_t cap);
// The nearest deadline of the channel (boot clock, ms), or -1 when none.
long long control_deadline();
// After the wait, with the descriptors control_wait_sources gave: takes
// the clients that wait, reads what they sent and the exec reports of
// the children commands started, carries out every complete request and
// lets go of the clients whose time is over.
void serve_control(const struct pollfd* fds, std::size_t count, long long now_ms);
// Whether a request waits for a child to end.
bool control_waiting();
// Looks at each child being ended, kills one whose grace is over, and
// answers each request that has its effect.
void follow_control_requests(long long now_ms);
// A new turn begins: each command that waits for a child (to end, to
// execute its program, a reload's old ones) is answered now with what the
// turn did to it, and starts nothing itself; the children it was ending
// get SIGKILL, as the turn's own do.
void end_commands_for_new_turn();

}  // namespace vorn
