// The checker's exit statuses, for the configuration check and for
// --status and --log.
#pragma once

#include "base/options.hpp"

namespace vorn {

inline constexpr int check_exit_usable = 0;
inline constexpr int check_exit_unusable = 1;
inline constexpr int check_exit_usage = usage_exit_status;  // 2
// With --status.  An init script's status action turns 1 into 0 (the
// supervisor runs) and passes 3 and 4 on, as LSB defines them.
inline constexpr int status_exit_running = 0;   // everything that should run runs
inline constexpr int status_exit_degraded = 1;  // live, but something that should run does not
inline constexpr int status_exit_absent = 3;    // no live supervisor
inline constexpr int status_exit_unknown = 4;   // the status cannot be known

}  // namespace vorn
