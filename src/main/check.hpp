// vorn_restart_check: the configuration checker for the operator at a shell.
//
// It reads the command line with the supervisor's rules, runs the same
// configuration step as a turn of the supervisor (table, built-in tasks,
// configuration file) with every action on processes disabled, and reports
// what the next turn would start, or why it would start nothing.
#pragma once

#include <array>
#include <cstddef>

#include "main/options.hpp"
#include "supervise/launch.hpp"

namespace vorn {

inline constexpr int check_exit_usable = 0;
inline constexpr int check_exit_unusable = 1;
inline constexpr int check_exit_usage = usage_exit_status;  // 2

enum class check_request {
    check,        // check the configuration
    help,         // print the help text
    usage_error,  // the command line cannot be used
};

// What the checker's command line asks for; written by read_check_command_line.
struct check_command {
    check_request request;
    const char* config_file;           // the file given on the command line, or nullptr
    const char* ignored_cache_path;    // a --cache_path that does not exist, or nullptr
    std::array<char, 512> error;       // why the command line cannot be used ("" after getopt's own complaint)
};

extern check_command check_line;

extern const option_row check_options[];
extern const std::size_t check_option_count;
extern const char check_help_text[];
extern const char check_usage_text[];

// Resets the settings and check_line, then reads the command line into
// them with the supervisor's options, rules and defaults (-d is accepted
// and means nothing here).  A mistake is recorded in check_line (the first
// one counts) instead of ending the program.
void read_check_command_line(int argc, char* argv[]);

// Writes text into buf[size] so that a POSIX shell reads it back as one
// word: as it is when it holds only characters no shell treats specially,
// otherwise in single quotes.  False when it does not fit.
bool quote_for_shell(char* buf, std::size_t size, const char* text);

// The first count entries of argv, each quoted, separated by spaces.
bool format_command_line(char* buf, std::size_t size, const child_argv& argv, std::size_t count);

enum class executable_state { yes, missing, directory, not_regular, not_executable, unknown };

// Whether execvp could run the file at path, as far as its metadata tells.
executable_state examine_executable(const char* path);

// Runs the configuration step of a turn (table, built-in tasks,
// configuration file: `config_file`, or the one in config_path when it is
// nullptr) with kill-by-name and every other action on processes or
// descriptors replaced by no-ops, then prints the report on standard
// output.  Returns check_exit_usable or check_exit_unusable.
int check_configuration(const char* config_file);

// The whole checker: command line, then the check.  Returns the exit status.
int run_check(int argc, char* argv[]);

}  // namespace vorn
