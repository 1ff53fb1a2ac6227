// The operator's clients as the supervisor holds them: each connection to
// the control channel, from its request to its answer, and the one way a
// client is answered and let go.  The channel (control.hpp) takes them and
// reads their requests; the verbs (control_verbs.hpp) carry them out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "base/control.hpp"

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

// After SIGKILL, how long a child may take to end before the answer says so.
inline constexpr long long kill_wait_ms = 1000;

// The client's place is free again; its descriptors are closed.
void free_client(control_client& c);

// The answer's text and its last line, "exit N"; then the client is let go.
// What the command changed is published first, so that the status file
// and the metrics say it as soon as the client has its answer.  A client
// that has gone away costs nothing more.
void answer(control_client& c, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace vorn
