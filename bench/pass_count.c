/* Preloaded into vorn_restart running under callgrind (and under strace) by
 * the benchmark: it cuts the supervisor's run into passes, counts what each
 * pass costs, and shortens the time between two passes.
 *
 * A pass ends in the supervisor's one wait: a ppoll() until the pass's
 * deadline, 5 seconds after the end of the pass's work as read on the boot
 * clock.  The library reads the clock with the supervisor (clock_gettime of
 * CLOCK_BOOTTIME and CLOCK_MONOTONIC, as tests/e2e/fast_clock.c does) and
 * knows a pass's wait as a ppoll() whose deadline (the last reading plus
 * the timeout) is new and lies exactly 5 s after one of the last few
 * readings.  Other waits (a look at a fast log 10 ms on, the same deadline
 * waited for again after an event) are passed on as they are.  At a pass's
 * wait it makes callgrind dump its counters (CALLGRIND_DUMP_STATS) and
 * switches collection off until the wait returns (CALLGRIND_TOGGLE_COLLECT),
 * so dump N holds exactly the instructions that ran between the (N-1)th and
 * the Nth pass's wait: dump 1 is start-up and the first pass, every later
 * dump one pass with whatever woke it in between.  The instructions of this
 * library itself (its wrappers of clock_gettime and ppoll) are in the dumps
 * too; bench/run.sh leaves out those of this object.
 *
 * A pass's wait lasts VORN_BENCH_PASS_MS milliseconds (default 200) instead
 * of 5 s: the real ppoll() is given that time (and 1 ns more, which no
 * timeout of the supervisor has, whole milliseconds as they are, so that
 * the pass's wait is told apart in strace's output), events end it as
 * usual, the same deadline waited for again gets what is left of it, and
 * when it runs out the two clocks are moved on to the deadline, so that
 * the supervisor sees its 5 s gone.  The clocks then stay that far ahead of
 * the real ones (the wall clock stays real).
 *
 * It also counts the calls of malloc, calloc, realloc and free in each span
 * between two passes' waits, the waits themselves left out.  After
 * VORN_BENCH_PASSES passes (default 8) it writes one line per span,
 * "<span> <allocations> <frees>", to VORN_BENCH_PASS_REPORT and ends the
 * process.
 *
 * An earlier supervisor ended each pass in sleep() instead: for it (the
 * benchmark's comparison with an earlier commit) the preloaded sleep() does
 * the same, dump, counts and pace, and sleeps with nanosleep().
 *
 * Outside vorn_restart (its tasks inherit LD_PRELOAD) the clocks, ppoll()
 * and sleep() are the real ones, and sleep() only sleeps. */
#define _GNU_SOURCE
#undef _TIME_BITS /* clock_gettime and ppoll by their own names */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#define NS_PER_MS 1000000LL
#define NS_PER_SECOND 1000000000LL
#define PASS_NS (5 * NS_PER_SECOND) /* the supervisor's pass */
#define READINGS 16                 /* recent readings kept, to find a deadline's start */

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);
extern char* program_invocation_short_name;

typedef int (*clock_fn)(clockid_t, struct timespec*);
typedef int (*ppoll_fn)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
typedef int (*ppoll_chk_fn)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*,
                            size_t);

#define MAX_SPANS 64
static long allocations = 0, frees = 0;
static long span_allocations[MAX_SPANS], span_frees[MAX_SPANS];
static int spans = 0;

static struct {
    int in_supervisor;
    long passes;       /* VORN_BENCH_PASSES */
    long long pass_ms; /* VORN_BENCH_PASS_MS */
    clock_fn real_clock;
    ppoll_fn real_ppoll;
    ppoll_chk_fn real_ppoll_chk;
    long long ahead_ns;           /* how far the two clocks are moved on */
    long long readings[READINGS]; /* the supervisor's readings, whole milliseconds in ns */
    unsigned reading_count;       /* ever taken; the newest at (count - 1) % READINGS */
    long long pass_deadline;      /* ns of the moved clocks; 0: no pass's wait yet */
    long long pass_real_end;      /* ns of the real boot clock: when that wait runs out */
} pace;

void* malloc(size_t n) {
    ++allocations;
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    ++allocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    ++allocations;
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p) ++frees;
    __libc_free(p);
}

static long env_number(const char* name, long otherwise) {
    const char* text = getenv(name);
    return text && *text ? atol(text) : otherwise;
}

/* All looked up at once, at start-up: nothing asks for memory later. */
__attribute__((constructor)) static void settle(void) {
    pace.in_supervisor = strcmp(program_invocation_short_name, "vorn_restart") == 0;
    pace.passes = env_number("VORN_BENCH_PASSES", 8);
    pace.pass_ms = env_number("VORN_BENCH_PASS_MS", 200);
    pace.real_clock = (clock_fn)dlsym(RTLD_NEXT, "clock_gettime");
    pace.real_ppoll = (ppoll_fn)dlsym(RTLD_NEXT, "ppoll");
    pace.real_ppoll_chk = (ppoll_chk_fn)dlsym(RTLD_NEXT, "__ppoll_chk");
}

static void write_report(void) {
    const char* path = getenv("VORN_BENCH_PASS_REPORT");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (int i = 0; i < spans; ++i) {
        char line[64];
        int n =
            snprintf(line, sizeof line, "%d %ld %ld\n", i + 1, span_allocations[i], span_frees[i]);
        if (write(fd, line, (size_t)n) != n) break;
    }
    close(fd);
}

/* The end of a span, at a pass's wait, with collection already off: its
 * heap calls kept, and the process ended after the last pass. */
static void end_span(void) {
    if (spans < MAX_SPANS) {
        span_allocations[spans] = allocations;
        span_frees[spans] = frees;
        ++spans;
    }
    if (spans >= pace.passes) {
        write_report();
        _exit(0);
    }
}

/* An earlier supervisor's pass ends in sleep(). */
unsigned int sleep(unsigned int seconds) {
    /* First of all, so that nothing of this library counts in a span
     * (outside valgrind both requests do nothing). */
    CALLGRIND_DUMP_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    long long ms = (long long)seconds * 1000;
    if (pace.in_supervisor) {
        end_span();
        ms = pace.pass_ms;
    }
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
    allocations = frees = 0; /* the nap is not part of the next span */
    CALLGRIND_TOGGLE_COLLECT;
    return 0;
}

static long long real_ns(clockid_t clock) {
    struct timespec now = {0, 0};
    if (pace.real_clock(clock, &now) != 0) return 0;
    return (long long)now.tv_sec * NS_PER_SECOND + now.tv_nsec;
}

int clock_gettime(clockid_t clock, struct timespec* out) {
    if (!pace.real_clock) {
        errno = ENOSYS;
        return -1;
    }
    const int status = pace.real_clock(clock, out);
    if (status != 0 || !pace.in_supervisor) return status;
    if (clock != CLOCK_BOOTTIME && clock != CLOCK_MONOTONIC) return status;
    const long long v = (long long)out->tv_sec * NS_PER_SECOND + out->tv_nsec + pace.ahead_ns;
    out->tv_sec = (time_t)(v / NS_PER_SECOND);
    out->tv_nsec = (long)(v % NS_PER_SECOND);
    /* As the supervisor reads it: whole milliseconds. */
    pace.readings[pace.reading_count % READINGS] = v - v % NS_PER_MS;
    ++pace.reading_count;
    return status;
}

/* The deadline of a wait of `timeout` begun now: the last reading plus it. */
static long long deadline_of(const struct timespec* timeout) {
    const long long last = pace.readings[(pace.reading_count - 1) % READINGS];
    return last + (long long)timeout->tv_sec * NS_PER_SECOND + timeout->tv_nsec;
}

/* Whether a new deadline is a pass's: 5 s after one of the last readings. */
static int pass_deadline(long long deadline) {
    const unsigned kept = pace.reading_count < READINGS ? pace.reading_count : READINGS;
    for (unsigned back = 1; back <= kept; ++back)
        if (deadline - pace.readings[(pace.reading_count - back) % READINGS] == PASS_NS) return 1;
    return 0;
}

/* After the pass's wait ran out: the clocks at its deadline at least. */
static void reach_pass_deadline(void) {
    const long long now = real_ns(CLOCK_BOOTTIME) + pace.ahead_ns;
    if (now < pace.pass_deadline) pace.ahead_ns += pace.pass_deadline - now;
}

enum wait_kind { other_wait, pass_wait, pass_wait_again };

/* What kind of wait this is, from the readings alone (nothing read now,
 * so that all this library reads is outside the counted spans), and the
 * deadline of a pass's. */
static enum wait_kind classify(const struct timespec* timeout, long long* deadline) {
    if (!pace.in_supervisor || !timeout || pace.reading_count == 0 || timeout->tv_sec < 0 ||
        timeout->tv_nsec < 0 || timeout->tv_nsec >= NS_PER_SECOND)
        return other_wait;
    *deadline = deadline_of(timeout);
    if (pace.pass_deadline != 0 && *deadline == pace.pass_deadline) return pass_wait_again;
    return pass_deadline(*deadline) ? pass_wait : other_wait;
}

/* Called with collection off: the real timeout of a pass's wait.  The
 * first wait of a pass gets the whole pace and the nanosecond that marks
 * it, a later one for the same deadline what is left. */
static struct timespec pass_timeout(enum wait_kind kind, long long deadline) {
    const long long now = real_ns(CLOCK_BOOTTIME);
    long long left = pace.pass_ms * NS_PER_MS + 1;
    if (kind == pass_wait) {
        pace.pass_deadline = deadline;
        pace.pass_real_end = now + pace.pass_ms * NS_PER_MS;
    } else {
        left = pace.pass_real_end - now;
        if (left < 0) left = 0;
    }
    struct timespec t = {(time_t)(left / NS_PER_SECOND), (long)(left % NS_PER_SECOND)};
    return t;
}

/* A pass's wait: a span ends at its first (dump, heap calls, the end
 * after the last pass), and collection is off while it waits. */
static struct timespec begin_pass_wait(enum wait_kind kind, long long deadline) {
    if (kind == pass_wait) {
        CALLGRIND_DUMP_STATS;
        CALLGRIND_TOGGLE_COLLECT;
        end_span();
    } else {
        CALLGRIND_TOGGLE_COLLECT;
    }
    return pass_timeout(kind, deadline);
}

static void end_pass_wait(enum wait_kind kind, int ready) {
    if (ready == 0) reach_pass_deadline();
    if (kind == pass_wait) allocations = frees = 0; /* the wait is not part of the next span */
    CALLGRIND_TOGGLE_COLLECT;
}

int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask) {
    long long deadline = 0;
    const enum wait_kind kind = classify(timeout, &deadline);
    if (kind == other_wait) return pace.real_ppoll(fds, n, timeout, mask);
    const struct timespec real = begin_pass_wait(kind, deadline);
    const int ready = pace.real_ppoll(fds, n, &real, mask);
    end_pass_wait(kind, ready);
    return ready;
}

/* What a fortified build calls instead. */
int __ppoll_chk(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask,
                size_t fds_length) {
    long long deadline = 0;
    const enum wait_kind kind = classify(timeout, &deadline);
    if (kind == other_wait) return pace.real_ppoll_chk(fds, n, timeout, mask, fds_length);
    const struct timespec real = begin_pass_wait(kind, deadline);
    const int ready = pace.real_ppoll_chk(fds, n, &real, mask, fds_length);
    end_pass_wait(kind, ready);
    return ready;
}

/* With VORN_BENCH_STAND_IN_PIDFD=1, pidfd_open() hands out an eventfd that
 * never becomes readable: valgrind 3.19 does not know pidfd_open (it
 * answers ENOSYS, and the supervisor then looks for every child's end at
 * every pass), so this is how an idle pass with every child held by a
 * process descriptor is measured under callgrind.  No child may end while
 * it stands in: its end would never be seen. */
int pidfd_open(pid_t pid, unsigned int flags) {
    const char* stand_in = getenv("VORN_BENCH_STAND_IN_PIDFD");
    if (stand_in && strcmp(stand_in, "1") == 0) return eventfd(0, EFD_CLOEXEC);
    int (*next)(pid_t, unsigned int) = (int (*)(pid_t, unsigned int))dlsym(RTLD_NEXT, "pidfd_open");
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(pid, flags);
}
