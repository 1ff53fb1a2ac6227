/* Preloaded into the supervisor by the end-to-end tests: sleep() lasts
 * VORN_TEST_MS_PER_SECOND milliseconds per second asked for (default 10),
 * so a 5-second pass takes 50 ms, and usleep() (the pieces of a pass
 * while a task log grows fast) is shortened alike.  Nothing else is
 * changed.
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

/* Sleeps the microseconds, scaled. */
static void scaled_nap(long long microseconds) {
    const char* scale = getenv("VORN_TEST_MS_PER_SECOND");
    long ms = scale ? atol(scale) : 10;
    if (ms < 0) ms = 0;
    long long total_ns = microseconds * ms; /* ms per second: ns per microsecond */
    struct timespec left = {(time_t)(total_ns / 1000000000LL), (long)(total_ns % 1000000000LL)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

unsigned int sleep(unsigned int seconds) {
    log_sleep(seconds);
    scaled_nap((long long)seconds * 1000000LL);
    return 0;
}

int usleep(useconds_t microseconds) {
    scaled_nap((long long)microseconds);
    return 0;
}
