// The few things that differ between the platforms the supervisor runs on.
#pragma once

namespace vorn {

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
