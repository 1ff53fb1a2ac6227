// The pace of the cycle: how long a pass waits, and how long the
// supervisor waits after a configuration it cannot use.  Apart from the
// cycle, so that whatever needs the numbers need not include the cycle.
#pragma once

namespace vorn {

inline constexpr unsigned pass_seconds = 5;
inline constexpr unsigned unusable_config_seconds = 30;

}  // namespace vorn
