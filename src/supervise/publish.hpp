// Publishing the record of the supervisor's state: the systemd STATUS line,
// the status file and the metrics file, each written by a writer of its own
// that reads the record, then the status file's pass mark.
#pragma once

namespace vorn {

// At every pass, and before the wait after an unusable configuration: each
// writer that has something new (or a failed write due for its retry)
// writes, in this order: the STATUS line, the status file, the metrics
// file; then the record counts as published, and the status file's
// modification time is set to the boot clock.  A pass in which nothing
// changed writes nothing and allocates nothing.
void publish_record();

// Nothing published yet: every file's writes forgotten.
void reset_publishing();

}  // namespace vorn
