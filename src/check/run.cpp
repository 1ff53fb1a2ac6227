// The checker's top: its command line, then what it asks for.
#include "check/run.hpp"

#include <cstdio>

#include "base/messages.hpp"
#include "check/command_line.hpp"
#include "check/report.hpp"
#include "check/status.hpp"

namespace vorn {

int run_check(int argc, char* argv[]) {
    program_name = "vorn_restart_check";
    read_check_command_line(argc, argv);
    switch (check_line.request) {
        case check_request::help: std::fputs(check_help_text, stdout); return check_exit_usable;
        case check_request::usage_error:
            if (check_line.error[0] != '\0') complain("%s", check_line.error.data());
            std::fputs(check_usage_text, stderr);
            return check_exit_usage;
        case check_request::check: break;
    }
    if (check_line.log_name) return report_log(check_line.log_name, check_line.lines);
    if (check_line.status) return report_status(check_line.config_file, check_line.json);
    return check_configuration(check_line.config_file);
}

}  // namespace vorn
