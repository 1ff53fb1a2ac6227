// Table-driven command-line parsing over getopt_long.
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
// on_error (with nullptr).  Arguments that are not options are ignored;
// afterwards optind is the index of the first of them, as getopt_long
// leaves it.  Every call parses afresh: what an earlier call met does not
// change how the next one reads its command line.
void run_options(int argc, char* const argv[], const option_row* table, std::size_t row_count,
                 option_handler on_error);

}  // namespace vorn
