// After a write of a published file (see published_file.hpp).
#include "supervise/published_file.hpp"

#include "base/messages.hpp"
#include "base/system_ops.hpp"

namespace vorn {

void note_write(published_file& file, bool written, const char* what, const char* path, int error,
                std::time_t boot) {
    if (written) {
        file = published_file{};
        return;
    }
    sys.remove_file(path);
    file.failing = true;
    file.retry_at = boot + status_retry_seconds;
    if (file.failure_told) return;
    file.failure_told = true;
    complain("cannot write the %s file %s: %s; trying again every %d s", what, path,
             error_text(error), static_cast<int>(status_retry_seconds));
}

}  // namespace vorn
