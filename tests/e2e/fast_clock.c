/* Preloaded into the supervisor by the end-to-end tests: time runs fast.
 * In the marked process (the one whose pid is VORN_TEST_MARKED_PID), the
 * boot clock and the monotonic clock read by clock_gettime() run k times
 * as fast as the real ones, k = 1000 / VORN_TEST_MS_PER_SECOND (default 10
 * ms per second: k = 100, a 5-second pass takes 50 ms), from the epoch
 * VORN_TEST_CLOCK_EPOCH_NS (nanoseconds of the real boot clock; when unset,
 * the reading at the process's first look):
 *
 *     virtual = epoch + (real - epoch) * k, rounded down to whole milliseconds
 *
 * and ppoll() sleeps its timeout divided by k, rounded up to the nanosecond,
 * so that a wait that ends with 0 ends with the virtual clock at or past
 * its deadline.  Events end the wait as usual; a null timeout stays null.
 * The wall clock (CLOCK_REALTIME, time()) and every other clock stay real.
 *
 * The harness gives every program it runs on one test installation (the
 * supervisor, the checker, the control client) the same epoch and scale,
 * each marked by its own pid: they share one virtual clock, so that the
 * times the supervisor writes in its status file (the pass mark, the ages)
 * mean the same to its readers.  The tasks the supervisor starts inherit
 * the preload but have pids of their own: their clocks stay real.
 *
 * When VORN_TEST_SLEEP_LOG names a file, the marked process appends
 * "sleep <N>" to it for each wait on a new deadline lying a whole number N
 * of seconds after one of its last few clock readings (the latest such):
 * the tests count passes ("sleep 5") and waits after an unusable
 * configuration ("sleep 30") from it.  The deadline of a wait is the last
 * reading returned plus the timeout; a deadline already logged, as when an
 * event ends the wait and the same deadline is waited for again, logs
 * nothing, nor do deadlines of other lengths (a look at a log 20 ms on).
 *
 * When VORN_TEST_SIGNAL_LOG names a file, the marked process appends
 * "<virtual ms> <signal> <pid>" to it for each kill() it makes: a test
 * reads from it when the supervisor sent a signal, by its own clock. */
#define _GNU_SOURCE
#undef _TIME_BITS /* clock_gettime and ppoll by their own names; see below */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define NS_PER_MS 1000000LL
#define NS_PER_SECOND 1000000000LL
#define READINGS 16 /* recent readings kept, to find a deadline's start */
#define LOGGED 8    /* recent deadlines already logged */

typedef int (*clock_fn)(clockid_t, struct timespec*);
typedef int (*ppoll_fn)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
typedef int (*ppoll_chk_fn)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*,
                            size_t);
typedef int (*kill_fn)(pid_t, int);

static struct {
    int settled;
    pid_t marked; /* 0: no process is */
    long long ms_per_second;
    long long epoch_ns;
    char log[4096];
    char signal_log[4096];
    clock_fn real_clock;
    kill_fn real_kill;
    ppoll_fn real_ppoll;
    ppoll_chk_fn real_ppoll_chk;
    long long readings[READINGS]; /* virtual ns, whole milliseconds */
    unsigned reading_count;       /* ever taken; the newest at (count - 1) % READINGS */
    long long logged[LOGGED];
    unsigned logged_count;
} fast;

#if __TIMESIZE == 32
static void settle_time64(void);
#endif

static long long env_number(const char* name, long long otherwise) {
    const char* text = getenv(name);
    if (!text || !*text) return otherwise;
    char* end = NULL;
    const long long value = strtoll(text, &end, 10);
    return *end == '\0' ? value : otherwise;
}

static long long real_ns(clockid_t clock) {
    struct timespec now = {0, 0};
    if (fast.real_clock(clock, &now) != 0) return -1;
    return (long long)now.tv_sec * NS_PER_SECOND + now.tv_nsec;
}

static void settle(void) {
    if (fast.settled) return;
    fast.settled = 1;
    /* All looked up at once, at start-up: nothing asks for memory later. */
    fast.real_clock = (clock_fn)dlsym(RTLD_NEXT, "clock_gettime");
    fast.real_ppoll = (ppoll_fn)dlsym(RTLD_NEXT, "ppoll");
    fast.real_ppoll_chk = (ppoll_chk_fn)dlsym(RTLD_NEXT, "__ppoll_chk");
    fast.real_kill = (kill_fn)dlsym(RTLD_NEXT, "kill");
#if __TIMESIZE == 32
    settle_time64();
#endif
    const long long marked = env_number("VORN_TEST_MARKED_PID", 0);
    if (marked <= 0 || !fast.real_clock) return;
    fast.marked = (pid_t)marked;
    const long long ms = env_number("VORN_TEST_MS_PER_SECOND", 10);
    fast.ms_per_second = ms < 1 ? 1 : ms;
    long long epoch = env_number("VORN_TEST_CLOCK_EPOCH_NS", -1);
    if (epoch < 0) epoch = real_ns(CLOCK_BOOTTIME);
    fast.epoch_ns = epoch < 0 ? 0 : epoch;
    const char* log = getenv("VORN_TEST_SLEEP_LOG");
    if (log && strlen(log) < sizeof fast.log) strcpy(fast.log, log);
    const char* signals = getenv("VORN_TEST_SIGNAL_LOG");
    if (signals && strlen(signals) < sizeof fast.signal_log) strcpy(fast.signal_log, signals);
}

__attribute__((constructor)) static void start(void) { settle(); }

static int marked(void) {
    settle();
    return fast.marked != 0 && getpid() == fast.marked;
}

static int scaled_clock(clockid_t clock) {
    return clock == CLOCK_BOOTTIME || clock == CLOCK_MONOTONIC;
}

/* The virtual time of a real reading, in whole milliseconds. */
static long long virtual_ns(long long real) {
    const long long since = real - fast.epoch_ns;
    if (since <= 0) return real - real % NS_PER_MS;
    const long long ms = fast.ms_per_second;
    const long long v = fast.epoch_ns + since / ms * 1000 + since % ms * 1000 / ms;
    return v - v % NS_PER_MS;
}

/* Longer timeouts (a year and more) are passed on as they are. */
static const long long huge_seconds = 1LL << 25;

/* A real wait for a virtual timeout, rounded up. */
static long long real_timeout_ns(long long timeout) {
    const long long ms = fast.ms_per_second;
    return timeout / 1000 * ms + (timeout % 1000 * ms + 999) / 1000;
}

static void remember_reading(long long v) {
    fast.readings[fast.reading_count % READINGS] = v;
    ++fast.reading_count;
}

static void append_to_log(long long seconds) {
    if (!fast.log[0]) return;
    char line[32];
    const int n = snprintf(line, sizeof line, "sleep %lld\n", seconds);
    const int fd = open(fast.log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

/* Logs a wait for a deadline not logged before that lies whole seconds
 * after a recent reading. */
static void note_deadline(long long timeout) {
    if (fast.reading_count == 0) return;
    const long long deadline = fast.readings[(fast.reading_count - 1) % READINGS] + timeout;
    for (unsigned i = 0; i < LOGGED && i < fast.logged_count; ++i)
        if (fast.logged[i] == deadline) return;
    const unsigned kept = fast.reading_count < READINGS ? fast.reading_count : READINGS;
    for (unsigned back = 1; back <= kept; ++back) {
        const long long gap = deadline - fast.readings[(fast.reading_count - back) % READINGS];
        if (gap < NS_PER_SECOND || gap % NS_PER_SECOND != 0) continue;
        fast.logged[fast.logged_count++ % LOGGED] = deadline;
        append_to_log(gap / NS_PER_SECOND);
        return;
    }
}

/* The virtual reading of a scaled clock, remembered; -1 when the real
 * clock fails (errno set). */
static long long read_virtual(clockid_t clock) {
    const long long real = real_ns(clock);
    if (real < 0) return -1;
    const long long v = virtual_ns(real);
    remember_reading(v);
    return v;
}

int clock_gettime(clockid_t clock, struct timespec* out) {
    if (!marked() || !scaled_clock(clock)) {
        if (!fast.real_clock) {
            errno = ENOSYS;
            return -1;
        }
        return fast.real_clock(clock, out);
    }
    const long long v = read_virtual(clock);
    if (v < 0) return -1;
    out->tv_sec = (time_t)(v / NS_PER_SECOND);
    out->tv_nsec = (long)(v % NS_PER_SECOND);
    return 0;
}

/* The real timeout for ppoll, written to `out`: the one given, or the
 * scaled one in the marked process.  A negative timeout is left to ppoll
 * to refuse. */
static const struct timespec* ppoll_timeout(const struct timespec* timeout, struct timespec* out) {
    if (!timeout || !marked() || timeout->tv_sec < 0 || timeout->tv_nsec < 0 ||
        timeout->tv_nsec >= NS_PER_SECOND)
        return timeout;
    if (timeout->tv_sec > huge_seconds) return timeout;
    const long long asked = (long long)timeout->tv_sec * NS_PER_SECOND + timeout->tv_nsec;
    note_deadline(asked);
    const long long real = real_timeout_ns(asked);
    out->tv_sec = (time_t)(real / NS_PER_SECOND);
    out->tv_nsec = (long)(real % NS_PER_SECOND);
    return out;
}

int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask) {
    settle();
    struct timespec scaled;
    const struct timespec* real = ppoll_timeout(timeout, &scaled);
    return fast.real_ppoll(fds, n, real, mask);
}

/* What a fortified build calls instead. */
int __ppoll_chk(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask,
                size_t fds_length) {
    settle();
    struct timespec scaled;
    const struct timespec* real = ppoll_timeout(timeout, &scaled);
    return fast.real_ppoll_chk(fds, n, real, mask, fds_length);
}

int kill(pid_t pid, int signal) {
    settle();
    if (!fast.real_kill) {
        errno = ENOSYS;
        return -1;
    }
    const int result = fast.real_kill(pid, signal);
    if (!marked() || !fast.signal_log[0]) return result;
    const int error = errno;
    const long long real = real_ns(CLOCK_BOOTTIME);
    char line[64];
    const int n = snprintf(line, sizeof line, "%lld %d %d\n",
                           real < 0 ? -1 : virtual_ns(real) / NS_PER_MS, signal, (int)pid);
    const int fd = open(fast.signal_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)n) < 0) {
        }
        close(fd);
    }
    errno = error;
    return result;
}

#if __TIMESIZE == 32
/* 32-bit systems: a program built with 64-bit time (_TIME_BITS=64) calls
 * these instead, with glibc's struct __timespec64. */
struct timespec64 {
    long long tv_sec;
#if __BYTE_ORDER == __BIG_ENDIAN
    int padding;
    int tv_nsec;
#else
    int tv_nsec;
    int padding;
#endif
};
typedef int (*clock64_fn)(clockid_t, struct timespec64*);
typedef int (*ppoll64_fn)(struct pollfd*, nfds_t, const struct timespec64*, const sigset_t*);
static clock64_fn real_clock64;
static ppoll64_fn real_ppoll64;

static void settle_time64(void) {
    real_clock64 = (clock64_fn)dlsym(RTLD_NEXT, "__clock_gettime64");
    real_ppoll64 = (ppoll64_fn)dlsym(RTLD_NEXT, "__ppoll64");
}

int __clock_gettime64(clockid_t clock, struct timespec64* out) {
    if (!marked() || !scaled_clock(clock)) return real_clock64(clock, out);
    const long long v = read_virtual(clock);
    if (v < 0) return -1;
    memset(out, 0, sizeof *out);
    out->tv_sec = v / NS_PER_SECOND;
    out->tv_nsec = (int)(v % NS_PER_SECOND);
    return 0;
}

int __ppoll64(struct pollfd* fds, nfds_t n, const struct timespec64* timeout,
              const sigset_t* mask) {
    settle();
    const ppoll64_fn next = real_ppoll64;
    if (!timeout || !marked() || timeout->tv_sec < 0 || timeout->tv_nsec < 0 ||
        timeout->tv_nsec >= NS_PER_SECOND || timeout->tv_sec > huge_seconds)
        return next(fds, n, timeout, mask);
    const long long asked = timeout->tv_sec * NS_PER_SECOND + timeout->tv_nsec;
    note_deadline(asked);
    const long long real = real_timeout_ns(asked);
    struct timespec64 scaled = {real / NS_PER_SECOND, 0, 0};
    scaled.tv_nsec = (int)(real % NS_PER_SECOND);
    return next(fds, n, &scaled, mask);
}
#endif
