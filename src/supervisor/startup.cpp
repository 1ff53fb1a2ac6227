// The supervisor's start-up, once before the supervision cycle (see startup.hpp).
#include "supervisor/startup.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "base/inherited.hpp"
#include "base/messages.hpp"
#include "base/platform.hpp"
#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/launch.hpp"
#include "supervise/record.hpp"
#include "supervise/unit.hpp"
#include "supervise/watch.hpp"
#include "supervisor/command_line.hpp"

namespace vorn {

namespace {

// The watchdog device, and systemd when it started the supervisor.  What
// systemd set is taken out of the environment, so that no task inherits
// it and mistakes itself for the service.
void start_watches() {
    if (watchdog_path[0] != '\0') open_watchdog(watchdog_path.data());
    const char* socket_name = std::getenv("NOTIFY_SOCKET");
    if (socket_name == nullptr) return;
    // WATCHDOG_USEC is for this process only when WATCHDOG_PID, if set, names it.
    const char* watchdog_pid = std::getenv("WATCHDOG_PID");
    const char* watchdog_usec = std::getenv("WATCHDOG_USEC");
    if (watchdog_pid != nullptr && std::strtol(watchdog_pid, nullptr, 10) != ::getpid())
        watchdog_usec = nullptr;
    open_notify(socket_name, watchdog_usec);
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
}

}  // namespace

// As root, the supervisor is the OOM killer's last choice: were it killed,
// nothing would start the tasks again.  Its children give that up before
// they execute their programs (launch.hpp).  A refusal (root without
// CAP_SYS_RESOURCE, as in most containers) is recorded, not printed: the
// status, the checker and the metrics say it.
void protect_from_oom() {
    current_record.oom = oom_protection::not_asked;
    if (!oom_protect || sys.effective_user() != 0) return;
    if (sys.set_oom_score(-1000) == 0) {
        children_reset_oom_score = true;
        current_record.oom = oom_protection::taken;
        return;
    }
    current_record.oom = oom_protection::refused;
    current_record.oom_error = errno;
}

void start_up(int argc, char* argv[]) {
    // First of all: started with a standard descriptor closed, the first
    // file opened later would take its place (a task's standard input could
    // become the write-only null device of a turn).
    sys.open_standard_descriptors();
    // A task gets descriptors 0, 1 and 2 and the null device of the turn,
    // nothing else: whatever the supervisor was started with above 2 (a
    // shell's descriptors, a pipe of the init script) stays its own.  Its
    // own descriptors are opened close-on-exec too, but those meant for
    // the children.
    sys.close_inherited_on_exec();
    // Line-buffered even into a file or a pipe: each line leaves when it is
    // printed, and a forked child never finds a half-written line to copy.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    take_back_child_signal();
    ignore_broken_pipes();

    enable_debug_privilege();
    save_ld_library_path();
    reset_settings();
    reset_units();
    run_options(argc, argv, supervisor_options, supervisor_option_count, show_usage_error);
    normalise_settings();
    choose_default_status_path();
    note_own_names(argc > 0 ? argv[0] : nullptr);
    complete_pending_update();
    print_startup_line();
    // This process, started now: what start-up finds is recorded from here on.
    reset_record();
    protect_from_oom();
    start_watches();
    setup_units();
}

}  // namespace vorn
