// The status file: the record of the supervisor's state as one JSON
// document (its shape in base/status_document.hpp), for whoever asks.
//
// write_status_file() writes the whole document to status_path, by way of a
// temporary file renamed over the old one, when the record changed since it
// was last published or a failed write is due for its retry.  A pass in
// which nothing changed writes nothing and allocates nothing; it only sets
// the file's modification time to the boot clock (mark_status_current), so
// that a reader can tell a live supervisor from a stopped or hung one.
#pragma once

#include "supervise/published_file.hpp"

namespace vorn {

struct status_output_state {
    published_file file;
    bool current;  // the file at status_path is the latest document written
};

extern status_output_state status_output;

// Nothing written yet.
void reset_status_output();

// Writes the status file, when one is asked for, if the record changed or a
// change is still pending.  A failed write removes the old file (it no
// longer tells the truth), is said once on standard error, and is tried
// again at the first pass status_retry_seconds later, until it succeeds.
void write_status_file();

// Sets the file's modification time to the boot clock, at every pass and
// before the wait after an unusable configuration: the reader's proof that
// the supervisor still goes round.  One system call, no allocation.
void mark_status_current();

// The document as it would be written now (caller frees it with free()),
// or nullptr when it cannot be built.
char* status_document();

}  // namespace vorn
