// The operator's commands (base/control.hpp for the channel's requests):
// the channel beside the status file, the clients connected to it, and
// what their requests do to the slots.  The channel and every client are
// sources of the supervisor's one wait, and each timed step (a client's
// time to send its request, the grace before SIGKILL, the wait after it)
// is a deadline of that wait: nothing a client does moves a pass.  A
// request is carried out as soon as it is whole; one that must wait for a
// child to end is answered when the child's descriptor tells its end.
#pragma once

#include <cstddef>
#include <poll.h>

#include "supervise/control_clients.hpp"

namespace vorn {

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
