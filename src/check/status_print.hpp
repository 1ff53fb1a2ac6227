// The judged status (status_judge.hpp) as the operator and scripts see it:
// text for a person at a shell, JSON for scripts and fleet tools.  Both
// print the same record, so that they cannot disagree.
#pragma once

#include "check/status_judge.hpp"

namespace vorn {

// The text view on standard output: the supervisor's line, the
// configuration (`own_file` is the checker's own, named when the file
// names another), the table of slots, each slot's why-line with the end of
// its log, and the warnings.
void print_status_text(const char* own_file);

// The JSON view on standard output, one line: the status document as the
// supervisor wrote it, every member in its place, with each slot's "state"
// the confirmed one ("recorded_state" the file's), and the judgement added
// beside: per slot "why", "cause" and "log_tail"; "supervisor" (whether it
// lives, its state letter, "stopped", "hung", the pass mark's "pass_age",
// and the "problem" when it does not live), "warnings" and "exit_status".
// False when it cannot be built or written (said on standard error).
bool print_status_json();

}  // namespace vorn
