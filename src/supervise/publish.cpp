// The one publishing step of a pass (see publish.hpp).
#include "supervise/publish.hpp"

#include "supervise/metrics.hpp"
#include "supervise/record.hpp"
#include "supervise/status.hpp"
#include "supervise/watch.hpp"

namespace vorn {

void publish_record() {
    // Each file keeps its own pending change, so that one whose write
    // failed is retried without the other being written again meanwhile.
    watch_status();
    write_status_file();
    write_metrics_file();
    current_record.changed = false;
    current_record.up_changed = false;
    mark_status_current();
    mark_metrics_current();
}

void reset_publishing() {
    reset_status_output();
    reset_metrics_output();
}

}  // namespace vorn
