/* Preloaded into the supervisor by the end-to-end tests that run it as on
 * kernels before 5.3: in the marked process (the one whose pid is
 * VORN_TEST_MARKED_PID), pidfd_open() fails with ENOSYS, called through
 * glibc's wrapper or through syscall(SYS_pidfd_open, ...).  Everything
 * else, and every other process (the tasks inherit the preload), is left
 * as it is. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434 /* the same number on every architecture */
#endif

int pidfd_open(pid_t pid, unsigned int flags); /* older headers lack it */

static int marked(void) {
    const char* text = getenv("VORN_TEST_MARKED_PID");
    return text && atol(text) == (long)getpid();
}

int pidfd_open(pid_t pid, unsigned int flags) {
    if (marked()) {
        errno = ENOSYS;
        return -1;
    }
    typedef int (*pidfd_open_fn)(pid_t, unsigned int);
    static pidfd_open_fn next;
    if (!next) next = (pidfd_open_fn)dlsym(RTLD_NEXT, "pidfd_open");
    if (next) return next(pid, flags);
    return (int)syscall(SYS_pidfd_open, pid, flags);
}

/* syscall() takes up to six arguments; all are passed on, as glibc's own
 * reads them whatever the call. */
long syscall(long number, ...) {
    typedef long (*syscall_fn)(long, ...);
    static syscall_fn next;
    if (number == SYS_pidfd_open && marked()) {
        errno = ENOSYS;
        return -1;
    }
    if (!next) next = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
    va_end(args);
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
