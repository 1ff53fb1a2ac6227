// Table-driven command-line parsing.
#pragma once

#include <cstddef>

namespace vorn {

using option_handler = void (*)(const char* argument);

// One command-line option: a single character is a short option, a longer
// name a long option.  A row without a handler is accepted and ignored.
struct option_row {
    const char* name;
    bool takes_argument;
    option_handler handler;
};

// Exit status for a mistyped command line.
inline constexpr int usage_exit_status = 2;

// Parses argv with getopt_long over the table and calls, in command-line
// order, the handler of every row matching each option found.  An unknown
// option or a missing value is reported by getopt_long and then handed to
// on_error (with nullptr).  Arguments that are not options are ignored.
void run_options(int argc, char* const argv[], const option_row* table, std::size_t row_count,
                 option_handler on_error);

// The supervisor's own options and handlers.
extern const option_row supervisor_options[];
extern const std::size_t supervisor_option_count;

extern const char help_text[];

void show_help(const char*);         // help on standard error, exit 0
void show_usage_error(const char*);  // help on standard error, exit 2
void set_debug(const char*);
void set_install_path(const char* root);
void set_cache_path(const char* dir);

}  // namespace vorn
