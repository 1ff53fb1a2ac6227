// The operator's clients (see control_clients.hpp).
#include "supervise/control_clients.hpp"

#include <cstdarg>
#include <cstring>

#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/publish.hpp"
#include "supervise/record.hpp"
#include "supervise/reload.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

control_state control{};

void free_client(control_client& c) {
    if (c.fd >= 0) sys.close_descriptor(c.fd);
    if (c.report_fd >= 0) sys.close_descriptor(c.report_fd);
    if (c.stage != client_stage::free && control.busy > 0) --control.busy;
    c = control_client{};
}

void answer(control_client& c, int code, const char* format, ...) {
    // Room for a reload's lists of sixteen names, with their reasons.
    std::array<char, reload_answer_size + 256> text{};
    std::va_list args;
    va_start(args, format);
    vformat_text(text.data(), text.size(), format, args);
    va_end(args);
    const std::size_t length = std::strlen(text.data());
    format_text(text.data() + length, text.size() - length, "\nexit %d\n", code);
    if (current_record.changed || current_record.up_changed) publish_record();
    sys.write_descriptor(c.fd, text.data(), std::strlen(text.data()));
    free_client(c);
}

}  // namespace vorn
