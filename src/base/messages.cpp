// The programs' messages about themselves, and error numbers as text
// (see messages.hpp).
#include "base/messages.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorn {

const char* program_name = "vorn_restart";

void complain(const char* format, ...) {
    std::fprintf(stderr, "%s: ", program_name);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// strerrordesc_np (glibc 2.32 and later) is a plain table lookup.  uClibc-ng
// defines __GLIBC__ as well but not the function; elsewhere strerror is
// used, which in the single-threaded child of a fork is safe enough.
#if defined(__GLIBC__) && !defined(__UCLIBC__) && !defined(VORN_NO_STRERRORDESC) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
const char* error_text(int error) {
    const char* text = ::strerrordesc_np(error);
    return text ? text : "Unknown error";
}
#else
const char* error_text(int error) { return std::strerror(error); }
#endif

}  // namespace vorn
