// The real clocks: the time of day and the seconds since boot.
#include "base/system_real.hpp"

#include <ctime>
#include <time.h>

namespace vorn::real {

std::time_t now() { return std::time(nullptr); }

std::time_t boot_seconds() {
    timespec now{};
    if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

}  // namespace vorn::real
