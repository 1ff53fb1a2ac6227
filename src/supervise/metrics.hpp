// The metrics file: the record of the supervisor's state in the Prometheus
// text exposition format (version 0.0.4), for a collector that reads files
// (node_exporter's textfile collector).
//
// publish_record() calls write_metrics_file() at every pass; the file is
// written only when something changed since it was last written, through
// the same sys.replace_file as the status file, from a buffer of fixed size.
// Nothing in it changes with time alone: moments are given as start times,
// never as ages, so that a file written at a change stays true until the next.
// Its modification time is the heartbeat: mark_metrics_current() sets it to
// the wall clock at every pass, so that a collector that reports it tells
// a live supervisor from a stopped, hung or dead one.
#pragma once

#include <cstddef>
#include <ctime>

#include "supervise/published_file.hpp"

namespace vorn {

// Large enough for 16 slots whose names need the most escaping.
inline constexpr std::size_t metrics_buffer_size = std::size_t{64} * 1024;

// Copies text into out[cap] as a label value: '\\', '"' and a newline
// escaped, and every byte that does not begin a valid UTF-8 sequence
// replaced by U+FFFD.  False, with out empty, when it does not fit.
bool metrics_label_value(const char* text, char* out, std::size_t cap);

// The whole document into buf[cap] (NUL-terminated), with every moment as
// the wall clock `wall` gives it now: a moment is taken from the boot clock
// (`boot` now), so that a start seen before the clock was set is right
// once it is set.  Its length, or 0 when it does not fit.
std::size_t metrics_document(char* buf, std::size_t cap, std::time_t wall, std::time_t boot);

// The metrics file's writes; it fails and is retried apart from the status file.
extern published_file metrics_output;
// The file at metrics_path is the latest document written.
extern bool metrics_current;

// Nothing written yet.
void reset_metrics_output();

// Writes the metrics file, when one is asked for, if the record changed or
// a change is still pending: a failed write removes the old file, is said
// once on standard error and is tried again at the first pass
// status_retry_seconds later.
void write_metrics_file();
// Sets the file's modification time to the wall clock now, while the file
// is the one last written: one system call, no allocation.  A file gone or
// replaced is written afresh at the next pass.
void mark_metrics_current();

}  // namespace vorn
