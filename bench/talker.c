/* A talkative task for the benchmark: the same program under every
 * supervisor, so that what differs is only where its output goes.
 *
 *   talker ID BYTES_PER_SECOND SECONDS DIR [BLOCK]
 *
 * Waits until DIR/go exists (looking every 10 ms), then writes numbered
 * lines of 100 bytes to standard output at BYTES_PER_SECOND for SECONDS:
 * every 10 ms it writes what is due by then, in writes of whole lines of
 * at most BLOCK bytes (default 4096, what stdio's full buffering gives a
 * program whose output is a file or a pipe).  A reader that cannot keep up
 * makes its writes block, and what was not written in time is not made up
 * after the end.  Then it writes the number of bytes it wrote to
 * DIR/ID.bytes and waits, writing nothing, until it is killed, so that no
 * supervisor starts it again within the measurement.  ID is the first
 * argument so that the benchmark's probe finds the task by it. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define LINE 100
#define MAX_BLOCK 65536

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void nap_until(double when) {
    struct timespec t;
    t.tv_sec = (time_t)when;
    t.tv_nsec = (long)((when - (double)t.tv_sec) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
    }
}

/* Writes all of buf; 0 when done, -1 when the output refuses it. */
static int write_all(const char* buf, size_t n) {
    while (n > 0) {
        const ssize_t w = write(STDOUT_FILENO, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        buf += w;
        n -= (size_t)w;
    }
    return 0;
}

static void report(const char* dir, const char* id, unsigned long long written) {
    char path[4096], temporary[4096], text[64];
    snprintf(path, sizeof path, "%s/%s.bytes", dir, id);
    snprintf(temporary, sizeof temporary, "%s/%s.bytes.new", dir, id);
    const int n = snprintf(text, sizeof text, "%llu\n", written);
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const int ok = write(fd, text, (size_t)n) == n;
    close(fd);
    if (ok) rename(temporary, path);
}

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        fprintf(stderr, "usage: talker ID BYTES_PER_SECOND SECONDS DIR [BLOCK]\n");
        return 2;
    }
    const char* id = argv[1];
    const double rate = atof(argv[2]);
    const double seconds = atof(argv[3]);
    const char* dir = argv[4];
    long block = argc == 6 ? atol(argv[5]) : 4096;
    if (rate <= 0 || seconds <= 0 || block < LINE || block > MAX_BLOCK) {
        fprintf(stderr, "talker: bad rate, duration or block size\n");
        return 2;
    }
    block -= block % LINE;
    /* A reader that went away ends the talking, not the process. */
    signal(SIGPIPE, SIG_IGN);

    char go[4096];
    snprintf(go, sizeof go, "%s/go", dir);
    struct stat st;
    while (stat(go, &st) != 0) nap_until(now_s() + 0.01);

    static char buf[MAX_BLOCK];
    unsigned long long written = 0, line = 0;
    const double t0 = now_s();
    for (double next = t0;;) {
        const double elapsed = now_s() - t0;
        if (elapsed >= seconds) break;
        const double due = rate * elapsed;
        int refused = 0;
        while ((double)written < due && !refused) {
            size_t n = 0;
            while (n + LINE <= (size_t)block && (double)(written + n) < due) {
                /* "<id> <line number> " and dots up to the newline */
                int head = snprintf(buf + n, LINE, "%s %012llu ", id, line++);
                if (head < 0 || head > LINE - 1) head = LINE - 1;
                memset(buf + n + head, '.', (size_t)(LINE - 1 - head));
                buf[n + LINE - 1] = '\n';
                n += LINE;
            }
            if (write_all(buf, n) != 0)
                refused = 1;
            else
                written += n;
        }
        if (refused) break;
        /* Every 10 ms; after writes that blocked past a tick, 10 ms from
         * now, so that a slow reader gets batches, not a line at a time. */
        next += 0.01;
        const double t = now_s();
        if (next < t) next = t + 0.01;
        nap_until(next);
    }
    report(dir, id, written);
    for (;;) pause();
}
