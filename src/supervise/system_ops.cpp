#include "supervise/system_ops.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorn {

namespace {

pid_t real_fork() { return ::fork(); }

pid_t real_reap_any(int* status) { return ::waitpid(-1, status, WNOHANG); }

int real_kill(pid_t pid) { return ::kill(pid, SIGKILL); }

void real_pause(unsigned seconds) { ::sleep(seconds); }

int real_open_null() { return ::open("/dev/null", O_WRONLY); }

void real_redirect(int fd) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
}

void real_close(int fd) { ::close(fd); }

// The child of a kill-by-name run only has to redirect its output and
// execute killall, and the supervisor waits for it anyway: posix_spawnp
// starts it without copying the supervisor's address space the way fork
// does, which makes each of the runs that begin every turn cheaper.  The
// two sets of redirections are built once and kept, so a run allocates
// nothing.
struct kill_plan {
    posix_spawn_file_actions_t actions;
    bool ready;
};

kill_plan kill_plans[2];

const posix_spawn_file_actions_t* kill_actions(kill_output output) {
    kill_plan& plan = kill_plans[output == kill_output::silent ? 0 : 1];
    if (!plan.ready) {
        if (posix_spawn_file_actions_init(&plan.actions) != 0) return nullptr;
        // Standard output to the null device; standard error too when silent.
        if (posix_spawn_file_actions_addopen(&plan.actions, STDOUT_FILENO, "/dev/null", O_WRONLY,
                                             0) != 0 ||
            (output == kill_output::silent &&
             posix_spawn_file_actions_adddup2(&plan.actions, STDOUT_FILENO, STDERR_FILENO) != 0)) {
            posix_spawn_file_actions_destroy(&plan.actions);
            return nullptr;
        }
        plan.ready = true;
    }
    return &plan.actions;
}

void real_kill_by_name(const char* name, kill_output output) {
    char killall[] = "killall";
    char signal[] = "-9";
    char end_of_options[] = "--";  // a name beginning with '-' stays a name
    char* const argv[] = {killall, signal, end_of_options, const_cast<char*>(name), nullptr};
    const posix_spawn_file_actions_t* actions = kill_actions(output);
    pid_t pid = 0;
    // A failure (no killall at all) is like any other failure of the kill:
    // not looked at.
    if (!actions || ::posix_spawnp(&pid, argv[0], actions, nullptr, argv, environ) != 0) return;
    // Wait for exactly this child: other children are left to the reap step.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

long real_read_file(const char* path, char* buf, std::size_t cap) {
    std::unique_ptr<std::FILE, file_closer> file{std::fopen(path, "re")};
    if (!file) return -1;
    return static_cast<long>(std::fread(buf, 1, cap, file.get()));
}

bool real_path_exists(const char* path) { return ::access(path, F_OK) == 0; }

// constexpr, so that both tables are filled before any code runs.
constexpr system_ops real_ops = {
    real_fork,     real_reap_any, real_kill,         real_pause,     real_open_null,
    real_redirect, real_close,    real_kill_by_name, real_read_file, real_path_exists,
};

}  // namespace

const system_ops real_system_ops = real_ops;
system_ops sys = real_ops;

}  // namespace vorn
