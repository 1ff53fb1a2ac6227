// Table-driven command-line parsing over getopt_long (see options.hpp).
#include "base/options.hpp"

#include <array>
#include <getopt.h>

namespace vorn {

namespace {

constexpr std::size_t max_rows = 32;

int row_code(const option_row& row, std::size_t index) {
    return row.name[1] == '\0' ? static_cast<unsigned char>(row.name[0])
                               : 256 + static_cast<int>(index);
}

bool is_option_element(const char* element) {
    return element != nullptr && element[0] == '-' && element[1] != '\0';
}

// getopt_long answers '?' both for the valid option -? and for every
// mistake, and what it leaves in optopt cannot tell them apart reliably (the
// C library may keep a private copy from an earlier parse).  So the parser
// follows for itself which character getopt_long has just read: the
// element it works through and the position in it.  An error is a '?' read
// from anything but the character '?' of a cluster of short options.
struct scan_position {
    const char* element = nullptr;  // the cluster of short options being read
    std::size_t next = 0;           // index of its next character
};

// Where the character that the last call of getopt_long read came from.
// `before` is optind before that call.
struct read_from {
    const char* element;
    std::size_t at;
};

read_from locate(const scan_position& scan, int before, int argc, char* const argv[]) {
    if (scan.element != nullptr && scan.element[scan.next] != '\0')
        return {scan.element, scan.next};  // further into the same cluster
    // A new element: once finished, it stands just before optind (GNU
    // getopt_long permutes the skipped operands behind it); while it is
    // still being read, it is the first option element from optind on.
    if (optind > before && is_option_element(argv[optind - 1])) return {argv[optind - 1], 1};
    for (int i = optind; i < argc; ++i)
        if (is_option_element(argv[i])) return {argv[i], 1};
    return {nullptr, 0};
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
    bool takes_argument[256 + max_rows] = {};
    for (std::size_t i = 0; i < row_count; ++i) {
        const option_row& row = table[i];
        takes_argument[row_code(row, i)] = row.takes_argument;
        if (row.name[1] == '\0') {
            short_text[s++] = row.name[0];
            if (row.takes_argument) short_text[s++] = ':';
        } else {
            long_list[l++] = option{row.name, row.takes_argument ? required_argument : no_argument,
                                    nullptr, row_code(row, i)};
        }
    }

    optind = 0;  // full reset, so that parsing may run more than once
    scan_position scan;
    for (;;) {
        const int before = optind < 1 ? 1 : optind;
        const int c = getopt_long(argc, argv, short_text.data(), long_list.data(), nullptr);
        if (c == -1) break;
        const read_from read = locate(scan, before, argc, argv);
        const bool long_option = read.element != nullptr && read.element[1] == '-';
        // The element is done when getopt_long has moved past it, or when
        // the option took the rest of it or the next element as its value.
        const bool done = long_option || read.element == nullptr ||
                          (c != '?' && takes_argument[c]) || read.element[read.at + 1] == '\0';
        scan = done ? scan_position{} : scan_position{read.element, read.at + 1};

        const bool valid_help =
            c == '?' && !long_option && read.element != nullptr && read.element[read.at] == '?';
        if (c == '?' && !valid_help) {
            if (on_error) on_error(nullptr);
            continue;
        }
        for (std::size_t i = 0; i < row_count; ++i)
            if (row_code(table[i], i) == c && table[i].handler) table[i].handler(optarg);
    }
}

}  // namespace vorn
