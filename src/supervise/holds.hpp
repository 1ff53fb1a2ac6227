// The operator's holds (a task stopped with vorn_restart_ctl stop), kept
// beside the status file as "<status_path>.stopped", so that a supervisor
// started again (not the machine: the run-time directory is emptied at
// boot) keeps them: one line each, "<uid> <since, wall clock> <name>", the
// name written as a control request writes it (base/control.hpp).
#pragma once

namespace vorn {

// Writes the holds of the record to the file, or removes it when there is
// none; a failure is said on standard error.
void save_holds();

// The holds a supervisor of this user left, into the record, from a file
// no one else can have written, read whole; anything else there (a link,
// a line that is not a hold, more than the table holds) is not believed
// at all, as said on standard error.
void load_holds();

}  // namespace vorn
