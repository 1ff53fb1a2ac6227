/* Preloaded into the supervisor by the end-to-end tests: sleep() lasts
 * VORN_TEST_MS_PER_SECOND milliseconds per second asked for (default 10),
 * so a 5-second pass takes 50 ms, and usleep() (the pieces of a pass
 * while a task log grows fast) is shortened alike.  A signal cuts sleep()
 * short as it cuts the real one.  Nothing else is changed.
 *
 * When VORN_TEST_SLEEP_LOG names a file, each sleep() of the supervisor
 * appends "sleep <seconds>" to it: the tests count passes (5) and waits after
 * an unusable configuration (30) from it.  Only the process whose pid is
 * VORN_TEST_SUPERVISOR_PID logs: the tasks it starts inherit the preload,
 * and so does a wrapper such as valgrind that runs it. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char sleep_log[4096];

__attribute__((constructor)) static void take_sleep_log(void) {
    const char* pid = getenv("VORN_TEST_SUPERVISOR_PID");
    const char* path = getenv("VORN_TEST_SLEEP_LOG");
    if (!pid || atol(pid) != (long)getpid()) return;
    if (!path || strlen(path) >= sizeof sleep_log) return;
    strcpy(sleep_log, path);
}

static void log_sleep(unsigned int seconds) {
    if (!sleep_log[0]) return;
    char line[32];
    const int n = snprintf(line, sizeof line, "sleep %u\n", seconds);
    const int fd = open(sleep_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

static long ms_per_second(void) {
    const char* scale = getenv("VORN_TEST_MS_PER_SECOND");
    long ms = scale ? atol(scale) : 10;
    return ms < 0 ? 0 : ms;
}

/* Sleeps the microseconds, scaled.  With `cut` a signal ends it, as it
 * ends the real sleep(): the nanoseconds not slept, else 0. */
static long long scaled_nap(long long microseconds, int cut) {
    long long total_ns = microseconds * ms_per_second(); /* ms per second: ns per microsecond */
    struct timespec left = {(time_t)(total_ns / 1000000000LL), (long)(total_ns % 1000000000LL)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        if (cut) return (long long)left.tv_sec * 1000000000LL + left.tv_nsec;
    }
    return 0;
}

/* Like the real one, cut short by a signal with a handler: the seconds not
 * slept, on the supervisor's scale and rounded up. */
unsigned int sleep(unsigned int seconds) {
    log_sleep(seconds);
    const long long left = scaled_nap((long long)seconds * 1000000LL, 1);
    const long long ns_per_second = (long long)ms_per_second() * 1000000LL;
    if (left <= 0 || ns_per_second <= 0) return 0;
    return (unsigned)((left + ns_per_second - 1) / ns_per_second);
}

int usleep(useconds_t microseconds) {
    scaled_nap((long long)microseconds, 0);
    return 0;
}
