/* A task's program for the tests of large units: it forks COUNT children
 * and waits, as each child does; every SIGTERM the program or a child gets
 * appends that process's pid to TERMS, and only SIGKILL ends them.  Each
 * child appends its pid to STARTED once it waits.
 *   vorn_term_log COUNT TERMS STARTED */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int terms_fd = -1;
static char line[24]; /* "<pid>\n", made before any signal can come */
static int length;

static void on_term(int signal) {
    (void)signal;
    if (write(terms_fd, line, (size_t)length) < 0) {
    }
}

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    terms_fd = open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int started_fd = open(argv[3], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (terms_fd < 0 || started_fd < 0) return 1;
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, NULL);
    signal(SIGTERM, on_term);
    for (int i = atoi(argv[1]); i > 0; --i)
        if (fork() == 0) {
            length = snprintf(line, sizeof line, "%d\n", (int)getpid());
            if (write(started_fd, line, (size_t)length) < 0) return 1;
            break;
        }
    if (length == 0) length = snprintf(line, sizeof line, "%d\n", (int)getpid());
    sigprocmask(SIG_UNBLOCK, &term, NULL);
    for (;;) pause();
}
