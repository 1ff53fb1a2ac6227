/* Preloaded into vorn_restart running under callgrind by the benchmark.
 * Every supervision pass ends in sleep(); this sleep() makes callgrind dump
 * its counters on entry and switches collection off until it returns, so
 * dump N holds exactly the instructions of the code that ran between the
 * (N-1)th and the Nth sleep: dump 1 is start-up and the first pass, every
 * later dump one pass.  It also counts the calls of malloc, calloc, realloc
 * and free in each of those spans.  It sleeps VORN_BENCH_PASS_MS milliseconds
 * (default 200) instead of the seconds asked for, and after
 * VORN_BENCH_PASSES passes (default 8) writes one line per span,
 * "<span> <allocations> <frees>", to VORN_BENCH_PASS_REPORT and ends the
 * process.  Outside vorn_restart (tasks inherit LD_PRELOAD) sleep() only
 * sleeps. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);
extern char* program_invocation_short_name;

#define MAX_SPANS 64
static long allocations = 0, frees = 0;
static long span_allocations[MAX_SPANS], span_frees[MAX_SPANS];
static int spans = 0;

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

static void nap_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
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

static int in_supervisor;

__attribute__((constructor)) static void find_out_who(void) {
    in_supervisor = strcmp(program_invocation_short_name, "vorn_restart") == 0;
}

unsigned int sleep(unsigned int seconds) {
    /* First of all, so that nothing of this library counts in a span
     * (outside valgrind both requests do nothing). */
    CALLGRIND_DUMP_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    if (!in_supervisor) {
        struct timespec t = {seconds, 0};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
        return 0;
    }
    if (spans < MAX_SPANS) {
        span_allocations[spans] = allocations;
        span_frees[spans] = frees;
        ++spans;
    }
    const char* limit_text = getenv("VORN_BENCH_PASSES");
    const int limit = limit_text ? atoi(limit_text) : 8;
    if (spans >= limit) {
        write_report();
        _exit(0);
    }
    const char* ms_text = getenv("VORN_BENCH_PASS_MS");
    nap_ms(ms_text ? atol(ms_text) : 200);
    allocations = frees = 0; /* the nap is not part of the next span */
    CALLGRIND_TOGGLE_COLLECT;
    return 0;
}
