// The writes of one file that publishes the record (the status file, the
// metrics file): a change not yet in it, and a failed write, which removes
// the file, is said once and is retried status_retry_seconds later.
#pragma once

#include <ctime>

#include "base/system_ops.hpp"

namespace vorn {

// A write that failed is tried again at the first pass this much later.
inline constexpr std::time_t status_retry_seconds = 30;

struct published_file {
    bool pending;          // a change not yet in the file
    bool failing;          // the latest write failed
    std::time_t retry_at;  // boot clock: no new try before this
    bool failure_told;     // this run of failures has been reported
};

// Whether the file has a change to write, and no failed write waits for
// its retry.  The boot clock is read only while a write is failing, so an
// idle pass costs a test of one flag.
inline bool write_due(const published_file& file) {
    return file.pending && (!file.failing || sys.boot_seconds() >= file.retry_at);
}
// After a write of the file at path: a failed one removes the file (what it
// says is no longer true), waits status_retry_seconds for its retry and is
// said once per run of failures, as "cannot write the <what> file".
void note_write(published_file& file, bool written, const char* what, const char* path, int error,
                std::time_t boot);

}  // namespace vorn
