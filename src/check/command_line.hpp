// The configuration checker's command line: the supervisor's options read
// with the supervisor's rules, where a mistake is recorded instead of
// ending the program.
#pragma once

#include <array>
#include <cstddef>

#include "base/options.hpp"
#include "check/exit_status.hpp"

namespace vorn {

enum class check_request {
    check,        // check the configuration
    help,         // print the help text
    usage_error,  // the command line cannot be used
};

// What the checker's command line asks for; written by read_check_command_line.
struct check_command {
    check_request request;
    const char* config_file;         // the file given on the command line, or nullptr
    const char* ignored_cache_path;  // a --cache_path that does not exist, or nullptr
    bool status;                     // --status: report the running supervisor
    bool json;                       // --json: its status file as it is
    bool log_path_given;             // --log_path: its logs are there, not where the status says
    const char* log_name;            // --log <name>: print that task's log; or nullptr
    unsigned lines;                  // --lines: how many lines of it
    bool lines_given;
    std::array<char, 512>
        error;  // why the command line cannot be used ("" after getopt's own complaint)
};

extern check_command check_line;

extern const option_row check_options[];
extern const std::size_t check_option_count;
extern const char check_help_text[];
extern const char check_usage_text[];

// Resets the settings and check_line, then reads the command line into
// them with the supervisor's options, rules and defaults (-d is accepted
// and means nothing here, as does --log_size once it is checked;
// --status_path only counts with --status or --log).  A mistake is recorded in
// check_line (the first one counts) instead of ending the program.
void read_check_command_line(int argc, char* argv[]);

}  // namespace vorn
