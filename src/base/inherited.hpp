// What the supervisor inherits from whoever started it, and what it gives
// back to its children: LD_LIBRARY_PATH as it was at start-up, and the
// SIGPIPE disposition it found.  Each pair lives here together.
#pragma once

namespace vorn {

// LD_LIBRARY_PATH as it was when the program started; nullptr when unset.
extern const char* saved_ld_library_path;

// Saves the start-up value of LD_LIBRARY_PATH.
void save_ld_library_path();

// Makes LD_LIBRARY_PATH hold its start-up value again, if it had one, so
// that every child inherits that value.  Called in the parent before fork,
// where setenv may be used.
void restore_ld_library_path();

// A reader that goes away from a pipe on standard output or error (debug
// output piped into a logger) must not end the supervisor: SIGPIPE is
// ignored in the supervisor itself, and the disposition it was started with
// is given back to every child before it executes.
void ignore_broken_pipes();
void restore_broken_pipes();       // async-signal-safe, for the forked child
bool broken_pipes_were_default();  // SIGPIPE had its default action at start-up

// A supervisor started with SIGCHLD ignored would have its children reaped
// by the kernel and could never learn that they ended: back to the default.
void take_back_child_signal();

}  // namespace vorn
