/* Preloaded into the supervisor by the fault-injection tests: fork() (and
 * clone3 through syscall(), which starts a task in its cgroup) fails
 * with EAGAIN for VORN_TEST_FORK_FAILURES calls, from the first call made
 * once the file VORN_TEST_FORK_TRIGGER exists (from the start when that
 * variable is unset).  Every call counts, the supervisor's starts of tasks
 * and its kill-by-name runs alike.  Each failure appends "fork failed" to
 * VORN_TEST_FORK_LOG, so that a test sees it among the logged sleeps.
 *
 * Only the process whose pid is VORN_TEST_MARKED_PID is affected: the
 * tasks it starts inherit the preload and fork as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static long failures_left;
static char trigger[4096];
static char fork_log[4096];

static void take(const char* name, char* buf, size_t size) {
    const char* value = getenv(name);
    if (value && strlen(value) < size) strcpy(buf, value);
}

__attribute__((constructor)) static void read_settings(void) {
    const char* pid = getenv("VORN_TEST_MARKED_PID");
    if (!pid || atol(pid) != (long)getpid()) return;
    const char* count = getenv("VORN_TEST_FORK_FAILURES");
    failures_left = count ? atol(count) : 0;
    take("VORN_TEST_FORK_TRIGGER", trigger, sizeof trigger);
    take("VORN_TEST_FORK_LOG", fork_log, sizeof fork_log);
}

static void log_failure(void) {
    static const char line[] = "fork failed\n";
    if (!fork_log[0]) return;
    const int fd = open(fork_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, sizeof line - 1) < 0) {
    }
    close(fd);
}

/* Whether this call fails (and is logged as such). */
static int fails_now(void) {
    if (failures_left <= 0 || (trigger[0] && access(trigger, F_OK) != 0)) return 0;
    --failures_left;
    log_failure();
    errno = EAGAIN;
    return 1;
}

pid_t fork(void) {
    static pid_t (*next_fork)(void);
    if (!next_fork) next_fork = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    return fails_now() ? -1 : next_fork();
}

/* The supervisor starts a task in its cgroup with clone3 through syscall():
 * that call is a fork as well, and fails the same way. */
long syscall(long number, ...) {
    static long (*next_syscall)(long, ...);
    if (!next_syscall) next_syscall = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    va_list list;
    va_start(list, number);
    long args[6];
    for (int i = 0; i < 6; ++i) args[i] = va_arg(list, long);
    va_end(list);
    if (number == SYS_clone3 && fails_now()) return -1;
    return next_syscall(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}
