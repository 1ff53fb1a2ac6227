// The platform's part on POSIX systems other than Cygwin (see platform.hpp).
#include "base/platform.hpp"

namespace vorn {

// POSIX systems have no debug privilege to switch on: a process started by
// root may already signal every other process.
void enable_debug_privilege() {}

}  // namespace vorn
