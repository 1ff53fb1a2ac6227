/* Preloaded into vorn_restart by the benchmark: measures the kill-by-name
 * runs.  Such a run is a child created by posix_spawnp (or fork) followed
 * by a blocking waitpid for exactly that child (task starts are never
 * waited for that way), so the time from the creation to the return of
 * that waitpid is one run.  After each run the
 * totals "<runs> <microseconds>" are written over the file named by
 * VORN_BENCH_KILL_CLOCK.  Only clock_gettime, open, write and close are
 * added to the supervisor: no stdio, no allocation. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static pid_t (*real_fork)(void);
static pid_t (*real_waitpid)(pid_t, int*, int);
static int (*real_posix_spawnp)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                                const posix_spawnattr_t*, char* const[], char* const[]);
static pid_t last_child = -1;
static struct timespec last_fork;
static long runs = 0;
static long long total_ns = 0;

static long long elapsed_ns(const struct timespec* from) {
    struct timespec to;
    clock_gettime(CLOCK_MONOTONIC, &to);
    return (to.tv_sec - from->tv_sec) * 1000000000LL + (to.tv_nsec - from->tv_nsec);
}

static void write_totals(void) {
    const char* path = getenv("VORN_BENCH_KILL_CLOCK");
    if (!path) return;
    char line[64];
    int n = snprintf(line, sizeof line, "%ld %lld\n", runs, total_ns / 1000);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

pid_t fork(void) {
    if (!real_fork) real_fork = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    const pid_t pid = real_fork();
    if (pid > 0) {
        last_child = pid;
        last_fork = t;
    }
    return pid;
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
    if (!real_posix_spawnp)
        real_posix_spawnp = (int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                                     const posix_spawnattr_t*, char* const[],
                                     char* const[]))dlsym(RTLD_NEXT, "posix_spawnp");
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    const int error = real_posix_spawnp(pid, file, actions, attributes, argv, envp);
    if (error == 0 && pid) {
        last_child = *pid;
        last_fork = t;
    }
    return error;
}

pid_t waitpid(pid_t pid, int* status, int options) {
    if (!real_waitpid) real_waitpid = (pid_t(*)(pid_t, int*, int))dlsym(RTLD_NEXT, "waitpid");
    const pid_t result = real_waitpid(pid, status, options);
    if (pid > 0 && pid == last_child && result == pid && !(options & WNOHANG)) {
        total_ns += elapsed_ns(&last_fork);
        ++runs;
        last_child = -1;
        write_totals();
    }
    return result;
}
