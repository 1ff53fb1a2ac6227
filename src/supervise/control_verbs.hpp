// What the operator's requests do to the slots: signal, stop, restart and
// start a task, and reload the configuration.  A request that must wait
// (for a child to end, for a new child to execute its program, for a
// reload's old children) is followed at each wake-up of the one wait until
// it has its answer.
#pragma once

#include <cstddef>

#include "supervise/control_clients.hpp"
#include "supervise/reload.hpp"

namespace vorn {

// The reload under way, when a client's stage is `reloading`.
extern reload_result reload_under_way;

// Carries out the client's whole request: answered now, or its client
// takes the stage that waits for the effect.
void carry_out(control_client& c);
// The exec report of the child a request started is readable: answered.
void take_exec_report(control_client& c);
// A request whose new child has not told whether it executed its program
// is answered so (with why).
void not_seen_to_execute(control_client& c, const char* why);
// One look at what the client waits for: the end of its child (after the
// grace, SIGKILL), or the old children of its reload.
void follow_one(control_client& c, long long now);
void follow_reload(control_client& c, long long now);
// A new turn begins: the request is answered with what the turn did to it.
void end_for_new_turn(control_client& c);

}  // namespace vorn
