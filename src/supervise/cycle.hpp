// The supervision cycle: turns of passes that start, reap and restart tasks.
#pragma once

#include <sys/types.h>

#include "supervise/pace.hpp"  // pass_seconds, unusable_config_seconds

namespace vorn {

// Descriptor of the null device opened for the current turn; 0 until the
// first one is opened (and always 0 in debug mode).
extern int stdout_stderr_fd;

enum class pass_outcome {
    go_on,     // the next pass follows, a pass after this one ended
    new_turn,  // the task in slot 0 exited with status 0: rebuild everything
};

// Starts every slot that is due and not held back by a marker, in slot
// order.  A failed fork is reported and ends the start pass early.
void start_pass();

// Reaps ended children without blocking and acts on at most one that ran
// in a slot; children whose pid no slot holds any more (killed ones) are
// reaped on the way.
pass_outcome reap_step();

// What the task in slot 0 ending with `status` means for the others.
pass_outcome updater_exited(pid_t pid, int status);

// Until due_ms (boot clock), in the supervisor's one wait: what comes
// meanwhile (an end, a command, a write to a log, a kick that is due) is
// done as it comes, and the time is not moved by it.
void rest(long long due_ms);

// One pass: start pass, reap step and, unless a new turn is due, the rest
// until a pass after its end.
pass_outcome run_pass();

// One turn: the null device, the table, the configuration, the dump, then
// passes until the task in slot 0 exits with status 0.  Returns when the
// turn is over (also after the wait that follows an unusable configuration,
// during which the children killed at the end of the last turn are reaped).
void run_turn();

[[noreturn]] void run_cycle();

}  // namespace vorn
