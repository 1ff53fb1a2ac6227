/* Preloaded into the supervisor by an end-to-end test: counts the calls of
 * malloc, calloc, realloc, aligned_alloc, memalign and posix_memalign made
 * in the process named vorn_restart (tasks inherit LD_PRELOAD and are left
 * uncounted) in a counter that lives in the file named by
 * VORN_TEST_ALLOC_COUNT, so that the test reads it while the supervisor
 * runs.  The calls are passed on to the next definition (libc's, or the
 * sanitizer runtime's). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

extern char* program_invocation_short_name;

static volatile long* counter; /* in the shared file; 0 when not counting */
static void* (*next_malloc)(size_t);
static void* (*next_calloc)(size_t, size_t);
static void* (*next_realloc)(void*, size_t);
static void* (*next_aligned_alloc)(size_t, size_t);
static void* (*next_memalign)(size_t, size_t);
static int (*next_posix_memalign)(void**, size_t, size_t);
static void (*next_free)(void*);

/* dlsym may itself ask for memory before the pointers are set: it gets
 * zeroed memory from here, never freed (free ignores it). */
static char bootstrap[4096] __attribute__((aligned(16)));
static size_t bootstrap_used;
static int resolving;

static void* from_bootstrap(size_t n) {
    n = (n + 15) & ~(size_t)15;
    if (bootstrap_used + n > sizeof bootstrap) return NULL;
    void* p = bootstrap + bootstrap_used;
    bootstrap_used += n;
    return p;
}

static int in_bootstrap(const void* p) {
    return (const char*)p >= bootstrap && (const char*)p < bootstrap + sizeof bootstrap;
}

static void resolve(void) {
    if (next_malloc || resolving) return;
    resolving = 1;
    next_calloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    next_realloc = (void* (*)(void*, size_t))dlsym(RTLD_NEXT, "realloc");
    next_aligned_alloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "aligned_alloc");
    next_memalign = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "memalign");
    next_posix_memalign = (int (*)(void**, size_t, size_t))dlsym(RTLD_NEXT, "posix_memalign");
    next_free = (void (*)(void*))dlsym(RTLD_NEXT, "free");
    next_malloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    resolving = 0;
}

static void count(void) {
    if (counter) __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}

__attribute__((constructor)) static void start_counting(void) {
    resolve();
    const char* path = getenv("VORN_TEST_ALLOC_COUNT");
    if (!path || strcmp(program_invocation_short_name, "vorn_restart") != 0) return;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (ftruncate(fd, sizeof(long)) == 0) {
        void* map = mmap(NULL, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) counter = map;
    }
    close(fd);
}

void* malloc(size_t n) {
    resolve();
    if (!next_malloc) return from_bootstrap(n);
    count();
    return next_malloc(n);
}

void* calloc(size_t n, size_t size) {
    resolve();
    if (!next_calloc) return size && n > (size_t)-1 / size ? NULL : from_bootstrap(n * size);
    count();
    return next_calloc(n, size);
}

void* realloc(void* p, size_t n) {
    resolve();
    count();
    if (in_bootstrap(p)) {
        void* q = next_malloc(n);
        const size_t room = (size_t)(bootstrap + sizeof bootstrap - (char*)p);
        if (q) memcpy(q, p, n < room ? n : room);
        return q;
    }
    return next_realloc(p, n);
}

void* aligned_alloc(size_t alignment, size_t n) {
    resolve();
    count();
    return next_aligned_alloc(alignment, n);
}

void* memalign(size_t alignment, size_t n) {
    resolve();
    count();
    return next_memalign(alignment, n);
}

int posix_memalign(void** out, size_t alignment, size_t n) {
    resolve();
    count();
    return next_posix_memalign(out, alignment, n);
}

void free(void* p) {
    if (!p || in_bootstrap(p)) return;
    resolve();
    if (next_free) next_free(p); /* only while resolving: left alone */
}
