#include "main/startup.hpp"

#include <csignal>
#include <cstdio>

#include "main/options.hpp"
#include "main/platform.hpp"
#include "main/settings.hpp"
#include "supervise/launch.hpp"

namespace vorn {

void start_up(int argc, char* argv[]) {
    // Line-buffered even into a file or a pipe: each line leaves when it is
    // printed, and a forked child never finds a half-written line to copy.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A supervisor started with SIGCHLD ignored would have its children
    // reaped by the kernel and could never learn that they ended.
    std::signal(SIGCHLD, SIG_DFL);
    ignore_broken_pipes();

    enable_debug_privilege();
    save_ld_library_path();
    reset_settings();
    run_options(argc, argv, supervisor_options, supervisor_option_count, show_usage_error);
    normalise_settings();
    complete_pending_update();
    print_startup_line();
}

}  // namespace vorn
