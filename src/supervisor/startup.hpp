// The supervisor's start-up, everything that happens once before the
// supervision cycle.
#pragma once

namespace vorn {

// Standard descriptors, inherited descriptors kept from the tasks, signal
// dispositions, the platform privilege, the saved LD_LIBRARY_PATH, the
// options, the normalised settings, the supervisor's own process names, a
// pending updater update, the start-up line, and the record begun.
void start_up(int argc, char* argv[]);

// Run as root, and unless --no_oom_protect was given: the supervisor's own
// oom_score_adj becomes -1000, and its children are to set theirs back.
// What came of it is in the record (current_record.oom), never on
// standard error.
void protect_from_oom();

}  // namespace vorn
