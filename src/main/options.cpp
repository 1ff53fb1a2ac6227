#include "options.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "settings.hpp"

namespace vorn {

namespace {

constexpr std::size_t max_rows = 32;

// Whether the '?' that getopt_long just returned reports an error rather
// than the valid option -?.  An unknown short option or a bad value sets
// optopt to the option's code; an unknown or ambiguous long option leaves it
// 0, like an accepted option, but then the element just consumed is a long
// option ("--..."), which -? never is.
bool is_option_error(int before, char* const argv[]) {
    if (optopt != 0 && optopt != '?') return true;
    if (optind <= before || optind < 1) return false;  // inside a cluster such as -?d
    const char* element = argv[optind - 1];
    return element[0] == '-' && element[1] == '-';
}

int row_code(const option_row& row, std::size_t index) {
    return row.name[1] == '\0' ? static_cast<unsigned char>(row.name[0])
                               : 256 + static_cast<int>(index);
}

}  // namespace

void run_options(int argc, char* const argv[], const option_row* table, std::size_t row_count,
                 option_handler on_error) {
    if (row_count > max_rows) row_count = max_rows;
    // Short options: "x" or "x:" per single-character row, in table order.
    std::array<char, 2 * max_rows + 1> short_text{};
    std::size_t s = 0;
    // Long options: the other rows, valued 256 plus their index.
    std::array<option, max_rows + 1> long_list{};
    std::size_t l = 0;
    for (std::size_t i = 0; i < row_count; ++i) {
        const option_row& row = table[i];
        if (row.name[1] == '\0') {
            short_text[s++] = row.name[0];
            if (row.takes_argument) short_text[s++] = ':';
        } else {
            long_list[l++] = option{row.name, row.takes_argument ? required_argument : no_argument,
                                    nullptr, row_code(row, i)};
        }
    }

    optind = 0;  // full reset, so that parsing may run more than once
    for (;;) {
        optopt = 0;
        const int before = optind;
        const int c = getopt_long(argc, argv, short_text.data(), long_list.data(), nullptr);
        if (c == -1) break;
        if (c == '?' && is_option_error(before, argv)) {
            if (on_error) on_error(nullptr);
            continue;
        }
        for (std::size_t i = 0; i < row_count; ++i)
            if (row_code(table[i], i) == c && table[i].handler) table[i].handler(optarg);
    }
}

const char help_text[] =
    "vorn_restart\n"
    "Usage: vorn_restart [-h?] [--help] [--config_path=xxx] [--cache_path=xxx]\n"
    "\n"
    "Options:\n"
    "-h                    help info\n"
    "-?                    help info\n"
    "--help                help info\n"
    "--install_path        such as: --install_path=/\n"
    "--cache_path          such as: --config_path=/mnt/sda1\n";

void show_help(const char*) {
    std::fputs(help_text, stderr);
    std::exit(0);
}

void show_usage_error(const char*) {
    std::fputs(help_text, stderr);
    std::exit(usage_exit_status);
}

void set_debug(const char*) { debug_mode = 1; }

void set_install_path(const char* root) {
    switch (apply_install_path(root)) {
        case path_result::ok:
            return;
        case path_result::too_long:
            std::fprintf(stderr,
                         "vorn_restart: --install_path: value too long (at most %zu characters, "
                         "not counting a final /)\n",
                         install_path_max);
            break;
        case path_result::missing:
            print_settings_report();
            break;
    }
    std::exit(255);
}

void set_cache_path(const char* dir) {
    if (apply_cache_path(dir) != path_result::too_long) return;
    std::fprintf(stderr,
                 "vorn_restart: --cache_path: value too long (at most %zu characters, not "
                 "counting a final /)\n",
                 cache_path_max);
    std::exit(255);
}

const option_row supervisor_options[] = {
    {"h", false, show_help},
    {"?", false, show_help},
    {"d", false, set_debug},
    {"help", false, show_help},
    {"install_path", true, set_install_path},
    {"cache_path", true, set_cache_path},
};
const std::size_t supervisor_option_count = sizeof(supervisor_options) / sizeof(supervisor_options[0]);

}  // namespace vorn
