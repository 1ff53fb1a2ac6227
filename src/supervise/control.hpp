// The operator's commands (base/control.hpp for the channel's requests):
// the channel beside the status file, the clients connected to it, and
// what their requests do to the slots.  A request is taken as soon as it
// comes (it cuts the pass's sleep short); one that must wait for a child
// to end goes on in short pieces of sleep until it has its answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "base/control.hpp"
#include "supervise/reload.hpp"

namespace vorn {

// Clients served at once; one more is told that the supervisor is busy.
inline constexpr std::size_t control_client_count = 4;
// The sleep between two looks at a child that is being ended: 1 ms at
// first, twice as long each time, up to control_piece_ms.
inline constexpr unsigned control_piece_ms = 16;

enum class client_stage : std::uint8_t { free, reading, ending, reloading };

struct control_client {
    int fd = -1;
    pid_t pid;  // the peer, as the kernel tells
    uid_t uid;
    client_stage stage;
    std::array<char, control_request_max> text;
    std::size_t used;
    std::time_t deadline;  // boot clock: the whole request by then
    control_request request;
    std::size_t slot;
    pid_t ending;      // the child being ended
    unsigned ms_left;  // of the grace before SIGKILL, then of the wait after it
    bool killed;
};

struct control_state {
    int listen_fd = -1;  // -1 without a channel
    std::array<char, 112> path;
    std::array<control_client, control_client_count> clients;
    std::size_t readers;   // clients whose request is not whole yet
    bool start_wanted;     // a reload is done: the start step, now
    bool turn_now;         // a usable file came during the wait after an unusable one
    reload_result reload;  // of the one reload under way
};

extern control_state control;

// No channel, no clients.
void reset_control();
// Opens the channel beside the status file, when there is one.  A channel
// that cannot be made (a directory others may write to, something else
// at its path) is said once on standard error; supervision goes on.
void open_control_channel();
// After a note from the channel: takes the clients that wait, reads what
// they sent and carries out every complete request.
void take_control_requests();
// Whether a request waits for a child to end.
bool control_waiting();
// After a piece of that wait, ms long: looks at each child being ended,
// kills one whose grace is over, and answers each request that has its effect.
void follow_control_requests(unsigned ms);

}  // namespace vorn
