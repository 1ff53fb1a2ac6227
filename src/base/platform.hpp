// The few things that differ between the platforms the supervisor runs on.
#pragma once

#include <cstddef>

namespace vorn {

// A page of memory.  A buffer that only some configurations or rare events
// use is aligned to whole pages (alignas(rarely_used)): the static build
// links such buffers apart from the variables every pass touches, so that
// one never used costs no memory, and the pages it shares with nothing are
// the only ones it costs when it is.
inline constexpr std::size_t rarely_used = 4096;

// Suffix of executable files.  Where the system adds it when a file is
// executed (Cygwin), the pending updater file carries it while task paths do
// not; on Linux there is none.
#ifdef __CYGWIN__
inline constexpr const char executable_suffix[] = ".exe";
#else
inline constexpr const char executable_suffix[] = "";
#endif

// Gives the process the right to inspect and signal every other process of
// the machine where the platform knows such a privilege (Windows).  Elsewhere
// there is nothing to enable and it does nothing.
void enable_debug_privilege();

}  // namespace vorn
