// Text from the configuration made safe to print: shell quoting for the
// command lines the checker shows, escaping for everything else.  Nothing
// from the file reaches the terminal raw, so a name cannot fake lines of
// the report or send control sequences to the terminal.
#pragma once

#include <cstddef>
#include <string_view>

#include "supervise/launch.hpp"

namespace vorn {

// Writes text into buf[size] so that a POSIX shell reads it back as one
// word: as it is when it holds only characters no shell treats specially,
// otherwise in single quotes, and in $'...' quotes (bash, ksh, zsh, busybox
// sh) when it holds bytes that must not be printed raw.  False when it does
// not fit.
bool quote_for_shell(char* buf, std::size_t size, std::string_view text);

// The first count entries of argv, each quoted, separated by spaces.
bool format_command_line(char* buf, std::size_t size, const child_argv& argv, std::size_t count);

// Writes text into buf[size] with every byte that must not be printed raw
// escaped: a backslash as \\, \n, \t and \r as such, other control
// characters, bytes that are not UTF-8, the C1 controls and the bytes of
// characters that reorder or hide text (bidirectional controls, zero-width
// characters, U+FEFF) as \ooo.  False when it does not fit.
bool escape_for_display(char* buf, std::size_t size, std::string_view text);

// Bytes that escape_for_display or quote_for_shell may need for text of n
// bytes, terminator included.
constexpr std::size_t escaped_size(std::size_t n) { return 4 * n + 4; }

// text escaped for display, in one of a few static buffers that are used in
// turn, so that up to four results may be used in one printf.  Text longer
// than 1024 bytes is cut.
const char* shown(std::string_view text);

}  // namespace vorn
