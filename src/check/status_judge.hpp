// The checker's one judgement of the running supervisor.
//
// What the status file says (status_read.hpp) is confirmed against /proc
// now: every child the file calls running must be a live child of the
// supervisor, and one that has ended is shown as exited with why it ended.
// The result is one judged view: per slot the confirmed state, the pid,
// the why-line and its cause, the end of its log; for the supervisor
// whether it lives, the age of its pass mark, the warnings and the exit
// status.  --status prints it as text and --status --json as JSON; both
// are views of this one record, so that they cannot disagree.
#pragma once

#include <array>

#include "check/status_slots.hpp"
#include "check/status_view.hpp"

namespace vorn {

// Reads the status file into `judged`: first, so that what the file says
// and what /proc shows are as close to the moment asked as can be.
void read_judged_status();

// Judges what read_judged_status read.  The slots' own executables are the
// checker's own configuration's (configure_inert must have run), never
// paths the file names.
void judge_status();

// Where the task logs are: --log_path when given (empty: nowhere), else
// the directory the file names, which must be an absolute path ending in
// '/' that the supervisor's own setting could hold, taken whole; nowhere
// when the file says the supervisor could not use it (log_problem).
logs_kept log_place_of(const status_reading& reading, uid_t owner, log_place* place);

}  // namespace vorn
