// The real clocks and the one wait: the time of day, the time since boot,
// and the wait on descriptors until a deadline of that clock.  The clock is
// read only through clock_gettime and the wait is only ppoll, so that a
// preloaded library that scales both runs the supervisor's time faster.
#include "base/system_real.hpp"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <time.h>

namespace vorn::real {

namespace {

timespec boot_clock() {
    timespec now{};
    if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

std::time_t now() { return std::time(nullptr); }

std::time_t boot_seconds() { return boot_clock().tv_sec; }

long long boot_milliseconds() {
    const timespec now = boot_clock();
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int wait_for(struct pollfd* fds, std::size_t count, long long deadline_ms) {
    const long long left = deadline_ms - boot_milliseconds();
    timespec timeout{};
    if (left > 0)
        timeout = {static_cast<std::time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    const int ready = ::ppoll(fds, count, &timeout, nullptr);
    if (ready >= 0 || errno == EINTR) return ready < 0 ? 0 : ready;
    // The descriptors cannot be waited on (more than RLIMIT_NOFILE, no
    // memory): the time passes all the same, so that nothing spins.
    const int error = errno;
    ::ppoll(nullptr, 0, &timeout, nullptr);
    errno = error;
    return -1;
}

}  // namespace vorn::real
