/* A task's program for the tests of large units: it forks COUNT children
 * and then waits, as each child does; every SIGTERM that the program or a
 * child gets appends that process's pid to TERMS, and nothing but SIGKILL
 * ends them.  Each child appends its pid to STARTED once it waits.
 *   vorn_term_log COUNT TERMS STARTED */
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int terms_fd = -1;

/* "<pid>\n" into buf, by hand: the handler may call nothing else. */
static size_t pid_line(char* buf) {
    char digits[16];
    size_t n = 0, used = 0;
    for (unsigned long pid = (unsigned long)getpid(); n < sizeof digits; pid /= 10) {
        digits[n++] = (char)('0' + pid % 10);
        if (pid < 10) break;
    }
    while (n > 0) buf[used++] = digits[--n];
    buf[used++] = '\n';
    return used;
}

static void on_term(int signal) {
    (void)signal;
    char line[24];
    if (write(terms_fd, line, pid_line(line)) < 0) {
    }
}

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const int count = atoi(argv[1]);
    terms_fd = open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int started_fd = open(argv[3], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (terms_fd < 0 || started_fd < 0) return 1;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_term;
    sigaction(SIGTERM, &action, NULL);
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid < 0) return 1;
        if (pid > 0) continue;
        char line[24];
        if (write(started_fd, line, pid_line(line)) < 0) _exit(1);
        for (;;) pause();
    }
    for (;;) pause();
}
