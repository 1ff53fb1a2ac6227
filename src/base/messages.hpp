// Messages of the programs about themselves, and the system's text for an
// error number.
#pragma once

namespace vorn {

// The name that begins the program's own messages; each program's entry
// sets it ("vorn_restart" unless changed).
extern const char* program_name;

// Writes "<program_name>: <text>\n" to standard error.
void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The system's description of an error number, safe to call in a forked
// child: no locale, no buffer, no allocation where the C library allows it.
const char* error_text(int error);

}  // namespace vorn
