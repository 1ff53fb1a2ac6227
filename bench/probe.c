/* Benchmark driver for one supervisor: starts it, times how long until all
 * of its tasks run, measures what its own processes cost while idle, kills
 * a task and times its restart, and ends every process it started.
 *
 *   vorn_bench_probe [options] -- /path/to/supervisor [arguments...]
 *
 *   --tag T          a task is a `sleep` whose first argument is T, '0' and a
 *                    two-digit index (T000 ... T015)
 *   --tasks N        number of tasks (16)
 *   --starts N       start the supervisor N times (ending it in between) and
 *                    report each start time and their median; the last one
 *                    goes on to the other measurements (1)
 *   --idle S         idle window in seconds (60); 0 skips it
 *   --restarts N     kill the task in --kill-slot N times, timing each restart (3)
 *   --kill-slot K    the task killed for the restart figures (7)
 *   --turn           send SIGUSR1 to the shell of task 0 and time until every
 *                    task runs again as a new process (the supervisor's full turn)
 *   --pidns          run the supervisor as the first process of a new PID
 *                    namespace with its own /proc: kill-by-name inside it
 *                    can reach nothing outside
 *   --check-pidns    (alone) only tells whether --pidns works here: exit 0 if
 *                    so, 77 with the reason if the machine does not allow it
 *   --note FILE      print FILE's first line after the start and after the turn
 *   --wait-exit S    after the start, wait up to S seconds for the supervisor to
 *                    end by itself (instead of idle, restart and turn)
 *   --log FILE       the supervisor's standard output and error (/dev/null)
 *   --env K=V        an environment variable for the supervisor (repeatable);
 *                    it gets only these and PATH, the same for every supervisor
 *   --task-program P the program a task runs, by the last part of its argv[0]
 *                    (sleep); its first argument is the tag and index
 *   --talk S         with talkers (bench/talker.c) as the tasks, after the
 *                    idle window: creates DIR/go (--talk-dir DIR), which sets
 *                    them writing for S seconds, and measures the
 *                    supervisor's processes (loggers included) from then
 *                    until --talk-tail seconds (6) after the end: CPU time,
 *                    memory while they write, the largest size the log
 *                    directory (--log-dir, every file below it) reached,
 *                    taken every 200 ms, and the bytes the talkers wrote
 *                    (DIR/<tag>0NN.bytes, which each writes at its end)
 *   --pass-mark FILE with --talk, vorn_restart's status file: the times its
 *                    passes set its modification time (inotify on its
 *                    directory) give the longest time between two passes
 *   --commands N     after the restarts, run the operator's command (the
 *                    words of --command-arg, repeated, the program first by
 *                    its full path) N times, each time the task in
 *                    --kill-slot runs and 2 s after the last one had its
 *                    effect: the time from just before the command is
 *                    started until a new process of that task runs its
 *                    program (the effect), until that process was forked
 *                    (with the process events), and until the command
 *                    returns; its exit status and what it printed
 *                    (standard output and error) the first time
 *   --command-in-pidns  the command runs in the supervisor's PID and mount
 *                    namespaces (with --pidns): where an operator beside it
 *                    would run it, its /proc and pids those of the namespace
 *
 * Task starts are timed by the kernel's process events (the proc connector):
 * a task runs from the moment its `sleep` has been executed, and the event
 * carries that moment, so the probe sleeps while it waits instead of
 * polling /proc and taking the CPU from the supervisor it measures.
 * Without the connector, or where its events name the processes of another
 * PID namespace (a container's probe: timing_note says so), it polls /proc
 * every millisecond.
 *
 * Prints key=value lines.  Every process it started is ended by pid (the
 * supervisor's processes first, so nothing is restarted, then the tasks);
 * as a child subreaper it also collects tasks orphaned on the way. */
#define _GNU_SOURCE
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_TASKS 64
#define MAX_PROCS 4096
/* The machine's processes a look at /proc takes in: a shared machine may
 * run many more than a supervisor's tree (a cut list would miss the
 * supervisor, and nothing would end it). */
#define MAX_LISTED (1 << 17)

static const char* tag = NULL;
static int task_count = 16;
static int start_count = 1;
static int idle_seconds = 60;
static int restart_count = 3;
static int kill_slot = 7;
static int do_turn = 0;
static int use_pidns = 0;
static const char* note_file = NULL;
static int wait_exit_seconds = -1;
static const char* log_file = "/dev/null";
static char* child_env[32] = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
static int child_env_count = 1;
static const char* task_program = "sleep";
static int talk_seconds = 0;
static int talk_tail_seconds = 6;
static const char* talk_dir = NULL;
static const char* log_dir = NULL;
static const char* pass_mark = NULL;
static int command_count = 0;
static char* command_argv[32];
static int command_argc = 0;
static int command_in_pidns = 0;

static pid_t child = -1; /* our direct child */
static pid_t root = -1;  /* the supervisor's first process */
static volatile sig_atomic_t stop_requested = 0;

/* Adds K=V to the supervisor's environment, replacing an earlier K. */
static void add_env(char* entry) {
    const size_t key = strcspn(entry, "=") + 1;
    for (int k = 0; k < child_env_count; ++k)
        if (strncmp(child_env[k], entry, key) == 0) {
            child_env[k] = entry;
            return;
        }
    if (child_env_count < 31) child_env[child_env_count++] = entry;
}

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static void sleep_ms(double ms) {
    const time_t seconds = (time_t)(ms / 1000);
    struct timespec t = {seconds, (long)((ms - (double)seconds * 1000) * 1e6)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR && !stop_requested) {
    }
}

static void on_signal(int sig) {
    (void)sig;
    stop_requested = 1;
}

static long read_small(const char* path, char* buf, size_t cap) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long total = 0;
    for (;;) {
        ssize_t n = read(fd, buf + total, cap - 1 - (size_t)total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += n;
        if ((size_t)total >= cap - 1) break;
    }
    close(fd);
    buf[total] = '\0';
    return total;
}

/* Index of the task this process runs (a `sleep T0NN`), or -1. */
static int task_index(pid_t pid) {
    char path[64], buf[256];
    snprintf(path, sizeof path, "/proc/%d/cmdline", (int)pid);
    long n = read_small(path, buf, sizeof buf);
    if (n <= 0) return -1; /* gone, or a zombie */
    const char* program = strrchr(buf, '/');
    if (strcmp(program ? program + 1 : buf, task_program) != 0) return -1;
    const char* arg = buf + strlen(buf) + 1;
    if (arg >= buf + n) return -1;
    size_t t = strlen(tag);
    if (strncmp(arg, tag, t) != 0 || strlen(arg) != t + 3 || arg[t] != '0') return -1;
    if (!isdigit((unsigned char)arg[t + 1]) || !isdigit((unsigned char)arg[t + 2])) return -1;
    int index = (arg[t + 1] - '0') * 10 + (arg[t + 2] - '0');
    return index < task_count ? index : -1;
}

/* Fills task_pids[index] with a running process of each task (0 when
 * none); pids listed in `exclude` do not count.  Returns how many tasks run. */
static int scan_tasks(pid_t* task_pids, const pid_t* exclude) {
    for (int i = 0; i < task_count; ++i) task_pids[i] = 0;
    DIR* dir = opendir("/proc");
    if (!dir) return 0;
    struct dirent* e;
    while ((e = readdir(dir))) {
        if (!isdigit((unsigned char)e->d_name[0])) continue;
        pid_t pid = (pid_t)atol(e->d_name);
        int index = task_index(pid);
        if (index < 0) continue;
        if (exclude && exclude[index] == pid) continue;
        task_pids[index] = pid;
    }
    closedir(dir);
    int running = 0;
    for (int i = 0; i < task_count; ++i) running += task_pids[i] != 0;
    return running;
}

/* --- which process runs each task, and since when ----------------------- */

static pid_t task_pid[MAX_TASKS];    /* 0 when the task does not run */
static double task_since[MAX_TASKS]; /* monotonic ms of its exec */
static double
    task_forked[MAX_TASKS]; /* of the fork that made its process (its exec without the events) */
static int events = -1;     /* proc connector socket */
static pid_t watched_pid;   /* the exit of this process is timed */
static double watched_exit = -1;

static int running_tasks(void) {
    int n = 0;
    for (int i = 0; i < task_count; ++i) n += task_pid[i] != 0;
    return n;
}

/* Takes the tasks from /proc; a newly found one counts from now. */
static void resync_tasks(void) {
    pid_t found[MAX_TASKS];
    scan_tasks(found, NULL);
    const double now = now_ms();
    for (int i = 0; i < task_count; ++i) {
        if (found[i] != task_pid[i]) task_since[i] = task_forked[i] = found[i] ? now : 0;
        task_pid[i] = found[i];
    }
}

/* The latest forks (processes, not threads), for the moment a task's
 * process was made: a task runs its program in the process its
 * supervisor forked (a script that execs it keeps the pid). */
#define FORKS 4096
static struct {
    pid_t pid;
    double at;
} forks[FORKS];
static unsigned fork_count;

static double fork_time(pid_t pid, double otherwise) {
    for (unsigned k = 0; k < FORKS && k < fork_count; ++k) {
        const unsigned at = (fork_count - 1 - k) % FORKS;
        if (forks[at].pid == pid) return forks[at].at;
    }
    return otherwise;
}

static void open_events(void) {
    int sock = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (sock < 0) return;
    int size = 8 << 20; /* a busy machine sends many events */
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    struct sockaddr_nl address = {.nl_family = AF_NETLINK, .nl_groups = CN_IDX_PROC};
    struct {
        struct nlmsghdr header;
        struct cn_msg message;
        enum proc_cn_mcast_op op;
    } __attribute__((packed)) listen;
    memset(&listen, 0, sizeof listen);
    listen.header.nlmsg_len = sizeof listen;
    listen.header.nlmsg_type = NLMSG_DONE;
    listen.message.id.idx = CN_IDX_PROC;
    listen.message.id.val = CN_VAL_PROC;
    listen.message.len = sizeof listen.op;
    listen.op = PROC_CN_MCAST_LISTEN;
    if (bind(sock, (struct sockaddr*)&address, sizeof address) != 0 ||
        send(sock, &listen, sizeof listen, 0) != (ssize_t)sizeof listen) {
        close(sock);
        return;
    }
    events = sock;
}

static void handle_event(const struct proc_event* e) {
    const double at = (double)e->timestamp_ns / 1e6; /* the kernel's CLOCK_MONOTONIC */
    if (e->what == PROC_EVENT_EXEC) {
        const pid_t pid = e->event_data.exec.process_tgid;
        const int index = task_index(pid);
        if (index >= 0 && task_pid[index] != pid) {
            task_pid[index] = pid;
            task_since[index] = at;
            task_forked[index] = fork_time(pid, at);
        }
    } else if (e->what == PROC_EVENT_FORK) {
        if (e->event_data.fork.child_pid != e->event_data.fork.child_tgid) return; /* a thread */
        forks[fork_count % FORKS].pid = e->event_data.fork.child_tgid;
        forks[fork_count % FORKS].at = at;
        ++fork_count;
    } else if (e->what == PROC_EVENT_EXIT) {
        const pid_t pid = e->event_data.exit.process_tgid;
        if (e->event_data.exit.process_pid != pid) return; /* a thread */
        if (pid == watched_pid && watched_exit < 0) watched_exit = at;
        for (int i = 0; i < task_count; ++i)
            if (task_pid[i] == pid) task_pid[i] = 0;
    }
}

/* Whether the events name this probe's processes by the pids it sees.  The
 * kernel gives them the pids of its first PID namespace: in a container or a
 * chroot run in a PID namespace of its own they name other processes, or do
 * not come at all (the kernel does not take a listener there), and no task
 * would ever be seen to start.  The kernel queues the event of a fork before
 * fork() returns to the parent: the event of a child just started must name
 * the pid fork() gave, within moments. */
static int events_name_our_pids(void) {
    const pid_t test_child = fork();
    if (test_child < 0) return 0;
    if (test_child == 0) _exit(0);
    while (waitpid(test_child, NULL, 0) < 0 && errno == EINTR) {
    }
    static char buf[1 << 16];
    struct pollfd p = {.fd = events, .events = POLLIN};
    for (const double until = now_ms() + 500; now_ms() < until;) {
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(events, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) continue; /* an overflow: the queue is empty again */
        for (struct nlmsghdr* h = (struct nlmsghdr*)buf; NLMSG_OK(h, (size_t)n);
             h = NLMSG_NEXT(h, n)) {
            const struct cn_msg* message = NLMSG_DATA(h);
            const struct proc_event* e = (const struct proc_event*)message->data;
            if (message->id.idx == CN_IDX_PROC && message->id.val == CN_VAL_PROC &&
                e->what == PROC_EVENT_FORK && e->event_data.fork.child_tgid == test_child)
                return 1;
        }
    }
    return 0;
}

/* Waits at most timeout_ms for news of the tasks and takes it in; when
 * `extra` is a descriptor, the wait also ends when it is readable, and
 * the result says so (1). */
static int follow_tasks_or(double timeout_ms, int extra) {
    struct pollfd p[2] = {{.fd = events, .events = POLLIN}, {.fd = extra, .events = POLLIN}};
    if (events < 0) {
        if (extra >= 0 && poll(&p[1], 1, timeout_ms < 1 ? (int)(timeout_ms + 0.999) : 1) > 0)
            return 1;
        if (extra < 0) sleep_ms(timeout_ms < 1 ? timeout_ms : 1);
        resync_tasks();
        return 0;
    }
    if (poll(p, extra >= 0 ? 2 : 1, (int)(timeout_ms + 0.999)) <= 0) return 0;
    const int extra_ready = extra >= 0 && p[1].revents != 0;
    if (p[0].revents == 0) return extra_ready;
    static char buf[1 << 16];
    int lost = 0;
    for (;;) {
        ssize_t n = recv(events, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == ENOBUFS) {
            /* The queue overflowed, and the kernel drops every event until
             * it has been read empty: ask /proc once it is. */
            lost = 1;
            continue;
        }
        if (n <= 0) {
            if (lost) resync_tasks();
            return extra_ready;
        }
        for (struct nlmsghdr* h = (struct nlmsghdr*)buf; NLMSG_OK(h, (size_t)n);
             h = NLMSG_NEXT(h, n)) {
            const struct cn_msg* message = NLMSG_DATA(h);
            if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) continue;
            handle_event((const struct proc_event*)message->data);
        }
    }
}

static void follow_tasks(double timeout_ms) { follow_tasks_or(timeout_ms, -1); }

/* Follows the tasks for ms milliseconds: reading the events as they come
 * keeps the queue from overflowing while the machine is busy. */
static void follow_for(double ms) {
    const double until = now_ms() + ms;
    while (now_ms() < until && !stop_requested) follow_tasks(until - now_ms());
}

/* Follows the tasks until the condition holds; false after timeout_ms. */
static int wait_for(int (*condition)(void), double timeout_ms) {
    const double until = now_ms() + timeout_ms;
    while (!condition()) {
        const double left = until - now_ms();
        if (left <= 0 || stop_requested) return 0;
        follow_tasks(left < 50 ? left : 50);
    }
    return 1;
}

/* The moment the last of the running tasks was started. */
static double last_start(void) {
    double t = 0;
    for (int i = 0; i < task_count; ++i)
        if (task_pid[i] && task_since[i] > t) t = task_since[i];
    return t;
}

static int all_running(void) { return running_tasks() == task_count; }

static pid_t parent_of(pid_t pid) {
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (read_small(path, buf, sizeof buf) <= 0) return -1;
    char* p = strrchr(buf, ')');
    if (!p) return -1;
    char state;
    int ppid;
    if (sscanf(p + 2, "%c %d", &state, &ppid) != 2) return -1;
    return (pid_t)ppid;
}

/* Every live process that descends from top (top included).  Process ids
 * are reused quickly on a busy machine: the tree is taken afresh each time. */
static int descendants(pid_t top, pid_t* out, int cap) {
    static pid_t pids[MAX_LISTED], parents[MAX_LISTED];
    int n = 0;
    DIR* dir = opendir("/proc");
    if (!dir) return 0;
    struct dirent* e;
    while ((e = readdir(dir)) && n < MAX_LISTED) {
        if (!isdigit((unsigned char)e->d_name[0])) continue;
        pid_t pid = (pid_t)atol(e->d_name);
        pid_t ppid = parent_of(pid);
        if (ppid < 0) continue;
        pids[n] = pid;
        parents[n] = ppid;
        ++n;
    }
    closedir(dir);
    int count = 0;
    if (top > 0 && count < cap) out[count++] = top;
    for (int grew = 1; grew;) {
        grew = 0;
        for (int i = 0; i < n; ++i) {
            int in = 0, parent_in = 0;
            for (int k = 0; k < count; ++k) {
                if (out[k] == pids[i]) in = 1;
                if (out[k] == parents[i]) parent_in = 1;
            }
            if (!in && parent_in && count < cap) {
                out[count++] = pids[i];
                grew = 1;
            }
        }
    }
    return count;
}

struct usage {
    long rss_kb, pss_kb;
    long long ticks, runtime_ns;
    long voluntary, involuntary;
};

static long field_kb(const char* text, const char* key) {
    const char* p = strstr(text, key);
    return p ? atol(p + strlen(key)) : 0;
}

static int read_usage(pid_t pid, struct usage* u) {
    char path[64];
    static char buf[16384];
    memset(u, 0, sizeof *u);
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    if (read_small(path, buf, sizeof buf) <= 0) return -1;
    u->rss_kb = field_kb(buf, "\nVmRSS:");
    u->voluntary = field_kb(buf, "\nvoluntary_ctxt_switches:");
    u->involuntary = field_kb(buf, "\nnonvoluntary_ctxt_switches:");
    snprintf(path, sizeof path, "/proc/%d/smaps_rollup", (int)pid);
    if (read_small(path, buf, sizeof buf) > 0) u->pss_kb = field_kb(buf, "\nPss:");
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (read_small(path, buf, sizeof buf) > 0) {
        char* p = strrchr(buf, ')');
        unsigned long long utime = 0, stime = 0;
        /* fields 3..15: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime
         * stime */
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                        &stime) == 2)
            u->ticks = (long long)(utime + stime);
    }
    snprintf(path, sizeof path, "/proc/%d/schedstat", (int)pid);
    if (read_small(path, buf, sizeof buf) > 0) u->runtime_ns = atoll(buf);
    return 0;
}

/* The supervisor's own processes: the tree under root without the tasks. */
static int supervisor_processes(pid_t* out, int cap) {
    static pid_t all[MAX_PROCS];
    int n = descendants(root, all, MAX_PROCS), count = 0;
    for (int i = 0; i < n; ++i) {
        if (task_index(all[i]) >= 0) continue;
        /* a task between fork and the exec of sleep: the shell of a task script */
        char path[64], buf[256];
        snprintf(path, sizeof path, "/proc/%d/cmdline", (int)all[i]);
        long len = read_small(path, buf, sizeof buf);
        if (len > 0 && strcmp(buf, "/bin/sh") == 0) continue;
        if (count < cap) out[count++] = all[i];
    }
    return count;
}

static void print_note(const char* key) {
    if (!note_file) return;
    char buf[256];
    if (read_small(note_file, buf, sizeof buf) < 0) buf[0] = '\0';
    buf[strcspn(buf, "\n")] = '\0';
    printf("%s=%s\n", key, buf);
}

/* The executable of a process, as a path this probe can open, and its size.
 * /proc shows a file of a process in another mount namespace (the supervisor
 * under --pidns) from the root of that namespace when our root cannot reach
 * it: in a chroot, with the chroot's directory in front (/srv/chroot/usr/bin/x
 * for /usr/bin/x).  The process's root directory is shown the same way, so the
 * part below it is the path inside the chroot; it is taken only when it names
 * the very file the process runs.  -1 when the process is gone. */
static int exe_path(pid_t pid, char* out, size_t cap, long* size) {
    char link[64], its_root[512];
    struct stat running, named;
    snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
    const ssize_t len = readlink(link, out, cap - 1);
    if (len <= 0 || stat(link, &running) != 0) return -1;
    out[len] = '\0';
    *size = (long)running.st_size;
    if (stat(out, &named) == 0 && named.st_dev == running.st_dev && named.st_ino == running.st_ino)
        return 0;
    snprintf(link, sizeof link, "/proc/%d/root", (int)pid);
    const ssize_t root_len = readlink(link, its_root, sizeof its_root - 1);
    if (root_len <= 1 || root_len >= len || strncmp(out, its_root, (size_t)root_len) != 0 ||
        out[root_len] != '/')
        return 0; /* left as /proc shows it */
    const char* inside = out + root_len;
    if (stat(inside, &named) == 0 && named.st_dev == running.st_dev &&
        named.st_ino == running.st_ino)
        memmove(out, inside, strlen(inside) + 1);
    return 0;
}

/* Distinct executables (with sizes) and shared libraries of the processes. */
static void print_binaries(const pid_t* procs, int n) {
    char exes[8][512];
    int exe_count = 0;
    char libs[64][128];
    int lib_count = 0;
    long sizes[8];
    for (int i = 0; i < n; ++i) {
        char path[64], target[512];
        long size;
        if (exe_path(procs[i], target, sizeof target, &size) == 0) {
            int seen = 0;
            for (int k = 0; k < exe_count; ++k) seen |= strcmp(exes[k], target) == 0;
            if (!seen && exe_count < 8) {
                strcpy(exes[exe_count], target);
                sizes[exe_count++] = size;
            }
        }
        snprintf(path, sizeof path, "/proc/%d/maps", (int)procs[i]);
        FILE* maps = fopen(path, "re");
        if (!maps) continue;
        char line[1024];
        while (fgets(line, sizeof line, maps)) {
            char* file = strchr(line, '/');
            if (!file) continue;
            file[strcspn(file, "\n")] = '\0';
            const char* base = strrchr(file, '/') + 1;
            if (!strstr(base, ".so")) continue;
            int seen = 0;
            for (int k = 0; k < lib_count; ++k) seen |= strcmp(libs[k], base) == 0;
            if (!seen && lib_count < 64) snprintf(libs[lib_count++], sizeof libs[0], "%s", base);
        }
        fclose(maps);
    }
    printf("binaries=");
    for (int k = 0; k < exe_count; ++k) printf("%s%s:%ld", k ? "," : "", exes[k], sizes[k]);
    printf("\nlibraries=%d:", lib_count);
    for (int k = 0; k < lib_count; ++k) printf("%s%s", k ? "," : "", libs[k]);
    printf("\n");
}

/* Ends everything: first the supervisor's processes (so that nothing is
 * started again), then the tasks and whatever else descends from us (as
 * subreaper, orphans of the supervisor's tree come to us), then reaps. */
static int clean_up(void) {
    static pid_t procs[MAX_PROCS];
    pid_t task_pids[MAX_TASKS];
    const pid_t self = getpid();
    for (int round = 0; round < 100; ++round) {
        int n = descendants(self, procs, MAX_PROCS); /* procs[0] is the probe */
        for (int k = 1; k < n; ++k)
            if (task_index(procs[k]) < 0) kill(procs[k], SIGKILL);
        for (int k = 1; k < n; ++k) kill(procs[k], SIGKILL);
        int left = scan_tasks(task_pids, NULL);
        for (int k = 0; k < task_count; ++k)
            if (task_pids[k]) kill(task_pids[k], SIGKILL);
        pid_t reaped;
        while ((reaped = waitpid(-1, NULL, WNOHANG)) > 0)
            if (reaped == child) child = root = -1;
        if (n <= 1 && left == 0 && child < 0) return 0;
        sleep_ms(20);
    }
    return scan_tasks(task_pids, NULL) + descendants(self, procs, MAX_PROCS) - 1;
}

/* In a child of the probe: makes it the parent of a new PID namespace, like
 * `unshare --fork --pid --mount-proc`, and returns in the namespace's first
 * process (pid 1 there) with the namespace's own /proc mounted over /proc in
 * a mount namespace of its own, so that a kill-by-name run inside reads that
 * /proc and can reach nothing outside.  The calling process stays as its
 * parent: it sends the first process's pid (as the probe sees it) on `report`
 * and ends with its exit status.  A step that fails is named on standard
 * error, and the process exits with 126. */
static void enter_pidns(int report) {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
        perror("probe: unshare(CLONE_NEWPID | CLONE_NEWNS)");
        _exit(126);
    }
    const pid_t first = fork();
    if (first < 0) {
        perror("probe: fork into the PID namespace");
        _exit(126);
    }
    if (first > 0) {
        if (write(report, &first, sizeof first) != sizeof first) _exit(126);
        int status;
        while (waitpid(first, &status, 0) < 0)
            if (errno != EINTR) _exit(126);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
    }
    /* The old /proc may pass mounts on to other namespaces (the machine's
     * mounts are often shared, and a chroot's /proc is a bind mount of the
     * machine's): made private here, it passes the new /proc on to none.
     * The mount at /proc is the one made private, not the one at "/": in a
     * chroot "/" is a directory, not a mount point, and cannot be. */
    if (mount("none", "/proc", NULL, MS_REC | MS_PRIVATE, NULL) != 0) {
        perror("probe: make the mount at /proc private (is /proc a mount point?)");
        _exit(126);
    }
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, NULL) != 0) {
        perror("probe: mount /proc");
        _exit(126);
    }
}

static int root_alive(void);

/* Starts the supervisor; returns the monotonic time of its exec. */
static double start_supervisor(char** argv) {
    double* exec_time =
        mmap(NULL, sizeof(double), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int fds[2];
    if (exec_time == MAP_FAILED || pipe2(fds, O_CLOEXEC) != 0) {
        perror("probe: set-up");
        exit(1);
    }
    child = fork();
    if (child < 0) {
        perror("probe: fork");
        exit(1);
    }
    if (child == 0) {
        setpgid(0, 0);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        const int log_fd = open(log_file, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log_fd >= 0) {
            dup2(log_fd, STDOUT_FILENO);
            dup2(log_fd, STDERR_FILENO);
            close(log_fd);
        }
        if (use_pidns) {
            enter_pidns(fds[1]);
        } else {
            const pid_t self = getpid();
            if (write(fds[1], &self, sizeof self) != sizeof self) _exit(126);
        }
        *exec_time = now_ms();
        execve(argv[0], argv, child_env);
        perror("probe: exec");
        _exit(127);
    }
    close(fds[1]);
    if (read(fds[0], &root, sizeof root) != sizeof root) {
        fprintf(stderr, "probe: the supervisor did not start\n");
        clean_up();
        exit(1);
    }
    close(fds[0]);
    /* The exec time is written just before exec: wait until it is there, or
     * until the process has ended (a namespace set-up step failed). */
    for (int i = 0; i < 50000 && *exec_time == 0 && root_alive(); ++i) sleep_ms(0.2);
    if (*exec_time == 0) {
        fprintf(stderr, "probe: the supervisor was not started (its log: %s)\n", log_file);
        clean_up();
        exit(1);
    }
    return *exec_time;
}

/* --check-pidns: whether --pidns works here, tried the way --pidns does it,
 * without measuring anything: the namespaces, the /proc of the namespace,
 * and the path of the executable of a process inside, found through this
 * probe's /proc.  Exit status 0 when it works; 77 when the machine does not
 * allow it (not root, no PID namespaces, no /proc mount point), the step at
 * fault on standard error; 1 when the probe itself goes wrong. */
static int check_pidns(void) {
    int report[2], ready[2], hold[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0 ||
        pipe2(hold, O_CLOEXEC) != 0) {
        perror("probe: pipe");
        return 1;
    }
    const pid_t parent = fork();
    if (parent < 0) {
        perror("probe: fork");
        return 1;
    }
    if (parent == 0) {
        close(report[0]);
        close(ready[0]);
        close(hold[1]);
        enter_pidns(report[1]);
        char self[16];
        const ssize_t n = readlink("/proc/self", self, sizeof self - 1);
        if (getpid() != 1 || n != 1 || self[0] != '1') {
            fprintf(stderr, "probe: /proc in the PID namespace is not the namespace's own\n");
            _exit(126);
        }
        if (write(ready[1], "r", 1) != 1) _exit(126);
        char c;
        while (read(hold[0], &c, 1) < 0 && errno == EINTR) {
        } /* until the probe has looked at this process */
        _exit(0);
    }
    close(report[1]);
    close(ready[1]);
    close(hold[0]);
    int available = 1, broken = 0;
    pid_t first;
    char c;
    if (read(report[0], &first, sizeof first) != sizeof first || read(ready[0], &c, 1) != 1) {
        available = 0; /* a step failed and said which */
    } else {
        /* The first process runs this very program. */
        char path[512] = "";
        long size;
        struct stat named, own;
        if (exe_path(first, path, sizeof path, &size) != 0 || stat(path, &named) != 0 ||
            stat("/proc/self/exe", &own) != 0 || named.st_dev != own.st_dev ||
            named.st_ino != own.st_ino) {
            fprintf(stderr,
                    "probe: the executable of a process in the namespace is not found "
                    "through /proc (taken for %s)\n",
                    path);
            broken = 1;
        }
    }
    close(hold[1]);
    int status;
    while (waitpid(parent, &status, 0) < 0)
        if (errno != EINTR) {
            perror("probe: waitpid");
            return 1;
        }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) available = 0;
    if (broken) return 1;
    return available ? 0 : 77;
}

static int root_alive(void) {
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)root);
    if (read_small(path, buf, sizeof buf) <= 0) return 0;
    char* p = strrchr(buf, ')');
    return p && p[2] != 'Z';
}

static int fail(const char* what) {
    printf("error=%s\n", what);
    fflush(stdout);
    int left = clean_up();
    printf("leftover=%d\n", left);
    return 1;
}

static pid_t restart_old;
static int restarted(void) { return task_pid[kill_slot] && task_pid[kill_slot] != restart_old; }

static void measure_restarts(void) {
    printf("restart_ms=");
    for (int r = 0; r < restart_count && !stop_requested; ++r) {
        resync_tasks();
        if (!all_running()) {
            printf("%sfailed", r ? "," : "");
            break;
        }
        restart_old = task_pid[kill_slot];
        const double t0 = now_ms();
        kill(restart_old, SIGKILL);
        if (wait_for(restarted, 30000))
            printf("%s%.0f", r ? "," : "", task_since[kill_slot] - t0);
        else
            printf("%stimeout", r ? "," : "");
        fflush(stdout);
        follow_for(2000); /* a task that died young is throttled by some peers */
    }
    printf("\n");
}

static pid_t turn_before[MAX_TASKS];
static int all_renewed(void) {
    for (int i = 0; i < task_count; ++i)
        if (!task_pid[i] || task_pid[i] == turn_before[i]) return 0;
    return 1;
}

static int measure_turn(void) {
    resync_tasks();
    if (!all_running()) return -1;
    memcpy(turn_before, task_pid, sizeof turn_before);
    const pid_t shell = parent_of(task_pid[0]);
    if (shell <= 1) return -1;
    /* the supervisor has acted once the other tasks' old processes are gone */
    watched_pid = turn_before[1];
    watched_exit = -1;
    const double t0 = now_ms();
    kill(shell, SIGUSR1);
    if (!wait_for(all_renewed, 30000)) return -1;
    const double done = last_start();
    if (events < 0) watched_exit = done; /* not known without the events */
    printf("turn_ms=%.1f\nturn_wait_ms=%.1f\nturn_work_ms=%.1f\n", done - t0, watched_exit - t0,
           done - watched_exit);
    return 0;
}

/* --- the operator's command ---------------------------------------------- */

/* Starts the command with its output in `output`; in the supervisor's
 * namespaces (pid_ns, mnt_ns >= 0) through a child that enters them and
 * waits for the command, which runs in them as its child.  Entering the
 * mount namespace puts the child at that namespace's root, which in a
 * chroot is not the supervisor's: it goes back to the supervisor's root
 * directory (its_root, opened before), as `nsenter --root` does, so that
 * the command's path names the same file.  Returns the pid of the process
 * started, whose exit status is the command's. */
static pid_t start_command(int output, int pid_ns, int mnt_ns, int its_root) {
    static char* const command_env[] = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", NULL};
    const pid_t pid = fork();
    if (pid != 0) return pid;
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in >= 0) dup2(in, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    if (pid_ns >= 0) {
        if (setns(mnt_ns, CLONE_NEWNS) != 0 || setns(pid_ns, CLONE_NEWPID) != 0) {
            perror("probe: enter the supervisor's namespaces");
            _exit(126);
        }
        if (fchdir(its_root) != 0 || chroot(".") != 0) {
            perror("probe: enter the supervisor's root directory");
            _exit(126);
        }
        const pid_t inside = fork();
        if (inside < 0) _exit(126);
        if (inside > 0) {
            int status;
            while (waitpid(inside, &status, 0) < 0)
                if (errno != EINTR) _exit(126);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
    }
    execve(command_argv[0], command_argv, command_env);
    perror("probe: exec the command");
    _exit(127);
}

static pid_t command_old;
static int command_effect(void) {
    return task_pid[kill_slot] && task_pid[kill_slot] != command_old;
}

/* Prints key=text with every line break as " / " and other control bytes
 * as '?', trailing space left out. */
static void print_text(const char* key, const char* text) {
    size_t n = strlen(text);
    while (n > 0 && isspace((unsigned char)text[n - 1])) --n;
    printf("%s=", key);
    for (size_t k = 0; k < n; ++k) {
        const unsigned char c = (unsigned char)text[k];
        if (c == '\n')
            fputs(" / ", stdout);
        else
            putchar(c < 0x20 || c == 0x7f ? '?' : c);
    }
    printf("\n");
}

static void measure_commands(void) {
    int pid_ns = -1, mnt_ns = -1, its_root = -1;
    if (command_in_pidns) {
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/ns/pid", (int)root);
        pid_ns = open(path, O_RDONLY | O_CLOEXEC);
        snprintf(path, sizeof path, "/proc/%d/ns/mnt", (int)root);
        mnt_ns = open(path, O_RDONLY | O_CLOEXEC);
        snprintf(path, sizeof path, "/proc/%d/root", (int)root);
        its_root = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (pid_ns < 0 || mnt_ns < 0 || its_root < 0) {
            printf("command_error=the supervisor's namespaces: %s\n", strerror(errno));
            return;
        }
    }
    char forked[32 * 16] = "", effect[32 * 16] = "", returned[32 * 16] = "", statuses[32 * 16] = "";
    static char first_answer[4096];
    first_answer[0] = '\0';
    int runs = 0;
    for (int r = 0; r < command_count && !stop_requested; ++r) {
        resync_tasks();
        if (!task_pid[kill_slot] && !wait_for(command_effect, 10000)) break;
        command_old = task_pid[kill_slot];
        const int output = memfd_create("command-output", MFD_CLOEXEC);
        if (output < 0) break;
        const double t0 = now_ms();
        const pid_t pid = start_command(output, pid_ns, mnt_ns, its_root);
        if (pid < 0) {
            close(output);
            break;
        }
        const int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
        double effect_at = -1, forked_at = -1, return_at = -1;
        int status = 0;
        for (const double until = t0 + 30000; now_ms() < until && !stop_requested;) {
            if (effect_at < 0 && command_effect()) {
                effect_at = task_since[kill_slot];
                forked_at = task_forked[kill_slot];
            }
            if (return_at < 0 && waitpid(pid, &status, WNOHANG) == pid) return_at = now_ms();
            if (effect_at >= 0 && return_at >= 0) break;
            /* the exit of the command wakes the wait when it has a pidfd;
             * else it is looked at every millisecond */
            const double left = until - now_ms();
            const double step = return_at >= 0 ? 50 : pidfd >= 0 ? 1000 : 1;
            follow_tasks_or(left < step ? left : step, return_at < 0 ? pidfd : -1);
        }
        if (pidfd >= 0) close(pidfd);
        if (return_at < 0) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        const size_t f = strlen(forked), e = strlen(effect), t = strlen(returned),
                     st = strlen(statuses);
        if (effect_at >= 0) {
            snprintf(forked + f, sizeof forked - f, "%s%.1f", r ? "," : "", forked_at - t0);
            snprintf(effect + e, sizeof effect - e, "%s%.1f", r ? "," : "", effect_at - t0);
        } else {
            snprintf(forked + f, sizeof forked - f, "%stimeout", r ? "," : "");
            snprintf(effect + e, sizeof effect - e, "%stimeout", r ? "," : "");
        }
        if (return_at >= 0)
            snprintf(returned + t, sizeof returned - t, "%s%.1f", r ? "," : "", return_at - t0);
        else
            snprintf(returned + t, sizeof returned - t, "%stimeout", r ? "," : "");
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        snprintf(statuses + st, sizeof statuses - st, "%s%d", r ? "," : "", code);
        if (r == 0) {
            const ssize_t n = pread(output, first_answer, sizeof first_answer - 1, 0);
            first_answer[n > 0 ? n : 0] = '\0';
        }
        close(output);
        ++runs;
        if (effect_at < 0) break; /* the task does not run again */
        follow_for(2000);         /* some peers wait a second between two starts */
    }
    if (pid_ns >= 0) close(pid_ns);
    if (mnt_ns >= 0) close(mnt_ns);
    if (its_root >= 0) close(its_root);
    printf(
        "command_runs=%d\ncommand_forked_ms=%s\ncommand_effect_ms=%s\ncommand_return_ms=%s\n"
        "command_status=%s\n",
        runs, forked, effect, returned, statuses);
    print_text("command_answer", first_answer);
}

/* --- talkative tasks ------------------------------------------------------ */

/* Bytes in the regular files at and below path (their sizes, as du -sb
 * counts them, directories left out); links are not followed, and a file
 * that goes away between the listing and its stat counts nothing. */
static long long tree_bytes(const char* path, int depth) {
    struct stat st;
    if (lstat(path, &st) != 0) return 0;
    if (S_ISREG(st.st_mode)) return (long long)st.st_size;
    if (!S_ISDIR(st.st_mode) || depth > 4) return 0;
    DIR* dir = opendir(path);
    if (!dir) return 0;
    long long total = 0;
    struct dirent* e;
    while ((e = readdir(dir))) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        char sub[4096];
        snprintf(sub, sizeof sub, "%s/%s", path, e->d_name);
        total += tree_bytes(sub, depth + 1);
    }
    closedir(dir);
    return total;
}

/* "name:count,..." of the processes, by the kernel's name of each. */
static void print_programs(const char* key, const pid_t* procs, int n) {
    char names[16][32];
    int counts[16], kinds = 0;
    for (int i = 0; i < n; ++i) {
        char path[64], name[32];
        snprintf(path, sizeof path, "/proc/%d/comm", (int)procs[i]);
        if (read_small(path, name, sizeof name) <= 0) continue;
        name[strcspn(name, "\n")] = '\0';
        int k = 0;
        while (k < kinds && strcmp(names[k], name) != 0) ++k;
        if (k == kinds) {
            if (kinds == 16) continue;
            strcpy(names[kinds], name);
            counts[kinds++] = 0;
        }
        ++counts[k];
    }
    printf("%s=", key);
    for (int k = 0; k < kinds; ++k) printf("%s%s:%d", k ? "," : "", names[k], counts[k]);
    printf("\n");
}

/* Watches the directory of the pass mark file; -1 without one. */
static int watch_passes(void) {
    if (!pass_mark) return -1;
    char dir[4096];
    snprintf(dir, sizeof dir, "%s", pass_mark);
    char* slash = strrchr(dir, '/');
    if (!slash) return -1;
    *slash = '\0';
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return -1;
    if (inotify_add_watch(fd, dir[0] ? dir : "/", IN_ATTRIB) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Takes in the pass marks seen since the last call: their count, and the
 * longest time between two of them; prints each time between two. */
static void read_passes(int fd, double* last, double* longest, int* passes) {
    if (fd < 0) return;
    const char* base = strrchr(pass_mark, '/') + 1;
    static char buf[8192] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return;
        const double at = now_ms();
        for (char* p = buf; p < buf + n;) {
            const struct inotify_event* e = (const struct inotify_event*)p;
            p += sizeof *e + e->len;
            if (e->len == 0 || strcmp(e->name, base) != 0) continue;
            if (*last > 0) {
                printf("%s%.0f", *passes > 1 ? "," : "", at - *last);
                if (at - *last > *longest) *longest = at - *last;
            }
            *last = at;
            ++*passes;
        }
    }
}

/* Sets the talkers writing and measures what the supervisor's processes
 * spend on their output; -1 when the tasks do not all run or the go file
 * cannot be made. */
static int measure_talk(void) {
    static pid_t procs[MAX_PROCS];
    static struct usage before[MAX_PROCS];
    struct usage talker_before[MAX_TASKS];
    pid_t talkers[MAX_TASKS];
    resync_tasks();
    if (!all_running()) return -1;
    memcpy(talkers, task_pid, sizeof talkers);
    const int n = supervisor_processes(procs, MAX_PROCS);
    for (int k = 0; k < n; ++k) read_usage(procs[k], &before[k]);
    for (int i = 0; i < task_count; ++i) read_usage(talkers[i], &talker_before[i]);
    char path[4096];
    snprintf(path, sizeof path, "%s/go", talk_dir);
    const int go = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (go < 0) return -1;
    close(go);

    const int marks = watch_passes();
    double last_mark = 0, longest_pass = 0;
    int passes = 0;
    if (marks >= 0) printf("talk_pass_ms=");
    const double t0 = now_ms();
    const double memory_at = t0 + (talk_seconds - 1) * 1e3; /* while they still write */
    const double end = t0 + (talk_seconds + talk_tail_seconds) * 1e3;
    long long largest = 0;
    long rss = 0, pss = 0;
    int memory_taken = 0;
    for (double next = t0; now_ms() < end && !stop_requested;) {
        const long long bytes = log_dir ? tree_bytes(log_dir, 0) : 0;
        if (bytes > largest) largest = bytes;
        if (!memory_taken && now_ms() >= memory_at) {
            for (int k = 0; k < n; ++k) {
                struct usage u;
                if (read_usage(procs[k], &u) != 0) continue;
                rss += u.rss_kb;
                pss += u.pss_kb;
            }
            memory_taken = 1;
        }
        next += 200;
        /* in steps of 10 ms: the pass marks are timed to that */
        while (now_ms() < next && !stop_requested) {
            follow_for(next - now_ms() < 10 ? next - now_ms() : 10);
            read_passes(marks, &last_mark, &longest_pass, &passes);
        }
    }
    if (marks >= 0) {
        printf("\n");
        close(marks);
    }
    if (stop_requested) return -1;

    long long ticks = 0, runtime = 0, talker_ticks = 0, talker_runtime = 0;
    long vol = 0;
    for (int k = 0; k < n; ++k) {
        struct usage u;
        if (read_usage(procs[k], &u) != 0) continue;
        ticks += u.ticks - before[k].ticks;
        runtime += u.runtime_ns - before[k].runtime_ns;
        vol += u.voluntary - before[k].voluntary;
    }
    int restarted = 0;
    for (int i = 0; i < task_count; ++i) {
        struct usage u;
        if (task_pid[i] != talkers[i] || read_usage(talkers[i], &u) != 0) {
            ++restarted;
            continue;
        }
        talker_ticks += u.ticks - talker_before[i].ticks;
        talker_runtime += u.runtime_ns - talker_before[i].runtime_ns;
    }
    long long written = 0;
    int reports = 0;
    for (int i = 0; i < task_count; ++i) {
        char text[64];
        snprintf(path, sizeof path, "%s/%s0%02d.bytes", talk_dir, tag, i);
        if (read_small(path, text, sizeof text) <= 0) continue;
        written += atoll(text);
        ++reports;
    }
    const long clock_tick = sysconf(_SC_CLK_TCK);
    printf("talk_s=%d\ntalk_window_s=%d\ntalk_processes=%d\n", talk_seconds,
           talk_seconds + talk_tail_seconds, n);
    print_programs("talk_programs", procs, n);
    printf("talk_cpu_ms=%lld\ntalk_oncpu_us=%.0f\ntalk_voluntary=%ld\n", ticks * 1000 / clock_tick,
           (double)runtime / 1e3, vol);
    printf("talk_rss_kb=%ld\ntalk_pss_kb=%ld\n", rss, pss);
    printf("talk_log_max_bytes=%lld\ntalk_log_end_bytes=%lld\n", largest,
           log_dir ? tree_bytes(log_dir, 0) : 0);
    printf("talk_bytes=%lld\ntalk_reports=%d\ntalk_restarted=%d\n", written, reports, restarted);
    printf("talk_task_cpu_ms=%lld\ntalk_task_oncpu_us=%.0f\n", talker_ticks * 1000 / clock_tick,
           (double)talker_runtime / 1e3);
    if (pass_mark) printf("talk_passes=%d\ntalk_pass_max_ms=%.0f\n", passes, longest_pass);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--check-pidns") == 0) return check_pidns();
    int i = 1;
    for (; i < argc; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "--") == 0) {
            ++i;
            break;
        }
        if (i + 1 >= argc && strcmp(a, "--turn") != 0 && strcmp(a, "--pidns") != 0 &&
            strcmp(a, "--command-in-pidns") != 0) {
            fprintf(stderr, "probe: %s needs a value\n", a);
            return 2;
        }
        if (strcmp(a, "--tag") == 0)
            tag = argv[++i];
        else if (strcmp(a, "--tasks") == 0)
            task_count = atoi(argv[++i]);
        else if (strcmp(a, "--starts") == 0)
            start_count = atoi(argv[++i]);
        else if (strcmp(a, "--idle") == 0)
            idle_seconds = atoi(argv[++i]);
        else if (strcmp(a, "--restarts") == 0)
            restart_count = atoi(argv[++i]);
        else if (strcmp(a, "--kill-slot") == 0)
            kill_slot = atoi(argv[++i]);
        else if (strcmp(a, "--note") == 0)
            note_file = argv[++i];
        else if (strcmp(a, "--wait-exit") == 0)
            wait_exit_seconds = atoi(argv[++i]);
        else if (strcmp(a, "--log") == 0)
            log_file = argv[++i];
        else if (strcmp(a, "--env") == 0)
            add_env(argv[++i]);
        else if (strcmp(a, "--turn") == 0)
            do_turn = 1;
        else if (strcmp(a, "--pidns") == 0)
            use_pidns = 1;
        else if (strcmp(a, "--task-program") == 0)
            task_program = argv[++i];
        else if (strcmp(a, "--talk") == 0)
            talk_seconds = atoi(argv[++i]);
        else if (strcmp(a, "--talk-tail") == 0)
            talk_tail_seconds = atoi(argv[++i]);
        else if (strcmp(a, "--talk-dir") == 0)
            talk_dir = argv[++i];
        else if (strcmp(a, "--log-dir") == 0)
            log_dir = argv[++i];
        else if (strcmp(a, "--pass-mark") == 0)
            pass_mark = argv[++i];
        else if (strcmp(a, "--commands") == 0)
            command_count = atoi(argv[++i]);
        else if (strcmp(a, "--command-arg") == 0) {
            if (command_argc < 31) command_argv[command_argc++] = argv[++i];
        } else if (strcmp(a, "--command-in-pidns") == 0)
            command_in_pidns = 1;
        else {
            fprintf(stderr, "probe: unknown option %s\n", a);
            return 2;
        }
    }
    if (!tag || i >= argc || start_count < 1 || start_count > 32 || task_count < 2 ||
        task_count > MAX_TASKS || kill_slot >= task_count || talk_seconds < 0 ||
        talk_tail_seconds < 0 || (talk_seconds > 0 && !talk_dir) ||
        (pass_mark && !strchr(pass_mark, '/')) || command_count < 0 || command_count > 32 ||
        (command_count > 0 && command_argc == 0) || (command_in_pidns && !use_pidns)) {
        fprintf(stderr, "usage: %s --tag T [options] -- command [arguments...]\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    /* Orphans of the supervisor's tree come to us, not to init. */
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    open_events();
    if (events >= 0 && !events_name_our_pids()) {
        close(events);
        events = -1;
        printf("timing_note=the process events do not name this PID namespace's processes\n");
    }
    printf("timing=%s\n", events >= 0 ? "process-events" : "polling");

    double start_times[32];
    char start_notes[32][64];
    for (int r = 0; r < start_count; ++r) {
        for (int k = 0; k < task_count; ++k) task_pid[k] = 0;
        double t0 = start_supervisor(argv + i);
        if (!wait_for(all_running, 60000))
            return fail(stop_requested ? "interrupted" : "tasks-not-started");
        start_times[r] = last_start() - t0;
        start_notes[r][0] = '\0';
        if (note_file && read_small(note_file, start_notes[r], sizeof start_notes[r]) > 0)
            start_notes[r][strcspn(start_notes[r], "\n")] = '\0';
        if (r + 1 < start_count) {
            if (clean_up() != 0) return fail("not-ended");
            sleep_ms(300);
        }
    }
    double sorted[32];
    memcpy(sorted, start_times, sizeof(double) * (size_t)start_count);
    for (int a = 0; a < start_count; ++a)
        for (int b = a + 1; b < start_count; ++b)
            if (sorted[b] < sorted[a]) {
                double t = sorted[a];
                sorted[a] = sorted[b];
                sorted[b] = t;
            }
    printf("start_ms=%.1f\nstart_min_ms=%.1f\nstart_max_ms=%.1f\nstart_runs_ms=",
           sorted[start_count / 2], sorted[0], sorted[start_count - 1]);
    for (int r = 0; r < start_count; ++r) printf("%s%.1f", r ? "," : "", start_times[r]);
    printf("\n");
    if (note_file) {
        printf("note_starts=");
        for (int r = 0; r < start_count; ++r) printf("%s%s", r ? "|" : "", start_notes[r]);
        printf("\n");
    }
    print_note("note_start");

    if (wait_exit_seconds >= 0) {
        double t = now_ms();
        while (root_alive() && now_ms() - t < wait_exit_seconds * 1e3 && !stop_requested)
            sleep_ms(20);
        printf("exited=%d\n", !root_alive());
        int left = clean_up();
        printf("leftover=%d\n", left);
        return left != 0;
    }

    follow_for(1000); /* let the peers finish their own start-up work */
    static pid_t procs[MAX_PROCS], procs_after[MAX_PROCS];
    static struct usage before[MAX_PROCS];
    int n = supervisor_processes(procs, MAX_PROCS);
    for (int k = 0; k < n; ++k) read_usage(procs[k], &before[k]);
    if (idle_seconds > 0) follow_for(idle_seconds * 1e3);
    if (stop_requested) return fail("interrupted");
    int n_after = supervisor_processes(procs_after, MAX_PROCS);
    long rss = 0, pss = 0, vol = 0, invol = 0;
    long long ticks = 0, runtime = 0;
    for (int k = 0; k < n; ++k) {
        struct usage u;
        if (read_usage(procs[k], &u) != 0) continue;
        rss += u.rss_kb;
        pss += u.pss_kb;
        vol += u.voluntary - before[k].voluntary;
        invol += u.involuntary - before[k].involuntary;
        ticks += u.ticks - before[k].ticks;
        runtime += u.runtime_ns - before[k].runtime_ns;
    }
    printf("processes=%d\nprocesses_after=%d\n", n, n_after);
    printf("rss_kb=%ld\npss_kb=%ld\n", rss, pss);
    printf(
        "idle_s=%d\ncpu_ticks=%lld\ncpu_ms=%lld\noncpu_us=%.0f\nvoluntary=%ld\ninvoluntary=%ld\n",
        idle_seconds, ticks, ticks * 1000 / sysconf(_SC_CLK_TCK), (double)runtime / 1e3, vol,
        invol);
    print_binaries(procs, n);
    if (talk_seconds > 0 && !stop_requested && measure_talk() != 0) return fail("talk");
    if (restart_count > 0) measure_restarts();
    if (command_count > 0 && !stop_requested) measure_commands();
    if (do_turn && !stop_requested) {
        if (measure_turn() != 0) printf("turn_ms=failed\n");
        print_note("note_turn");
    }
    int left = clean_up();
    printf("leftover=%d\n", left);
    return left != 0 || stop_requested;
}
