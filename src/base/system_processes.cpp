// The real system calls on processes: forking, reaping, killing and
// signalling them, the descriptors that tell their ends, kill-by-name runs of killall, the listing
// of /proc, and the descriptors a process starts with or hands on to its children.
#include "base/system_real.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 36)
// Declared here: the C library's own header (2.36) lacks the C linkage.
extern "C" int pidfd_open(pid_t pid, unsigned int flags) noexcept;
#define VORN_PIDFD_WRAPPER 1
#endif

#include "base/inherited.hpp"
#include "base/system_ops.hpp"

namespace vorn::real {

namespace {

// waitid's id type for a process descriptor (Linux 5.4), which older C
// libraries do not name.
constexpr int process_handle_id = 3;

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

int kill_run(const char* const* names, std::size_t count, kill_output output) {
    char killall[] = "killall";
    char signal[] = "-9";
    char end_of_options[] = "--";  // a name beginning with '-' stays a name
    std::array<char*, 3 + kill_names_per_run + 1> argv{killall, signal, end_of_options};
    for (std::size_t i = 0; i < count; ++i) argv[3 + i] = const_cast<char*>(names[i]);
    argv[3 + count] = nullptr;
    const posix_spawn_file_actions_t* actions = kill_actions(output);
    // killall gets SIGPIPE back as the supervisor found it, like any task.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (broken_pipes_were_default()) {
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    }
    pid_t pid = 0;
    // What killall itself answers is not looked at (1 when no process has
    // the name); a killall that cannot be started at all is told.
    const int error =
        actions ? ::posix_spawnp(&pid, argv[0], actions, &attributes, argv.data(), environ)
                : ENOMEM;
    posix_spawnattr_destroy(&attributes);
    if (error != 0) return error;
    // Wait for exactly this child: other children are left to the reap step.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

// Marks fd close-on-exec, its other flags left as they are.
void keep_from_children(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Which of the files the descriptor named `entry` in /proc/<pid>/fd is
// open for writing on: a bit for it, or 0.
unsigned long written_through(int dir_fd, const char* entry, const file_identity* files,
                              std::size_t count) {
    struct stat target {};
    if (entry[0] == '.' || ::fstatat(dir_fd, entry, &target, 0) != 0) return 0;
    for (std::size_t i = 0; i < count && i < files_written_max; ++i) {
        if (target.st_dev != files[i].device || target.st_ino != files[i].inode) continue;
        // The link's own mode says how the descriptor was opened: the
        // owner's write bit for writing.
        struct stat link {};
        if (::fstatat(dir_fd, entry, &link, AT_SYMLINK_NOFOLLOW) != 0) return 0;
        return (link.st_mode & S_IWUSR) != 0 ? 1UL << i : 0;
    }
    return 0;
}

}  // namespace

pid_t fork_process() { return ::fork(); }

pid_t reap_any(int* status) { return ::waitpid(-1, status, WNOHANG); }

namespace {

// What waitid told (WNOWAIT, WNOHANG) as child_ended answers: the status
// word waitpid would give, the code in bits 8 to 15, or the signal in the
// low 7 bits with 0x80 for a core dump.
int told_end(int result, const siginfo_t& info, int* status) {
    if (result != 0) return -1;
    if (info.si_pid == 0) return 0;  // still running
    switch (info.si_code) {
        case CLD_EXITED: *status = (info.si_status & 0xff) << 8; break;
        case CLD_DUMPED: *status = (info.si_status & 0x7f) | 0x80; break;
        default: *status = info.si_status & 0x7f; break;
    }
    return 1;
}

}  // namespace

int child_ended(pid_t pid, int* status) {
    siginfo_t info{};
    int result = 0;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result != 0 && errno == EINTR);
    return told_end(result, info, status);
}

int open_process_handle(pid_t pid) {
#if defined(VORN_PIDFD_WRAPPER)
    return ::pidfd_open(pid, 0);  // a wrapper that a preloaded library can stand in for
#elif defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int handle_ended(int handle, int* status) {
    siginfo_t info{};
    int result = 0;
    do {
        result = ::waitid(static_cast<idtype_t>(process_handle_id), static_cast<id_t>(handle),
                          &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result != 0 && errno == EINTR);
    return told_end(result, info, status);
}

int kill_process(pid_t pid) { return ::kill(pid, SIGKILL); }

int open_exec_report(int fds[2]) { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK); }

int open_null_device() { return ::open("/dev/null", O_WRONLY); }

void redirect_output(int fd) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
}

int kill_by_name(const char* const* names, std::size_t count, kill_output output) {
    int first_error = 0;
    while (count > 0) {
        const std::size_t run = count < kill_names_per_run ? count : kill_names_per_run;
        const int error = kill_run(names, run, output);
        if (first_error == 0) first_error = error;
        names += run;
        count -= run;
    }
    return first_error;
}

void open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself: the ones below are open.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

void close_inherited_on_exec() {
#ifdef SYS_close_range
    // Linux 5.11 and later, in one call.  The flag is the kernel's own
    // number: the C libraries of small systems may not define it.
    constexpr unsigned close_range_cloexec = 1U << 2;
    if (::syscall(SYS_close_range, 3U, ~0U, close_range_cloexec) == 0) return;
#endif
    // Older kernels: every descriptor /proc lists, but the listing's own.
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && fd > STDERR_FILENO && fd != own)
                keep_from_children(static_cast<int>(fd));
        }
        ::closedir(dir);
        return;
    }
    // Without /proc: every number below the limit on descriptors (at most
    // 65,536 of them: a few milliseconds, once).
    constexpr rlim_t most = 65536;
    rlimit limit{};
    const rlim_t top =
        ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < most ? limit.rlim_cur : most;
    for (rlim_t fd = STDERR_FILENO + 1; fd < top; ++fd) keep_from_children(static_cast<int>(fd));
}

// Read with getdents64 into a buffer of its own rather than through
// opendir, which takes its buffer from the heap: a task's unit is looked
// for at every kill, and a pass uses no heap.
long list_processes(pid_t* pids, std::size_t cap) {
    const int fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    alignas(8) std::array<char, 4096> buf{};
    std::size_t count = 0;
    long got = 0;
    while (count < cap && (got = ::syscall(SYS_getdents64, fd, buf.data(), buf.size())) > 0) {
        for (long at = 0; at < got && count < cap;) {
            // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
            unsigned short length = 0;
            std::memcpy(&length, buf.data() + at + 16, sizeof length);
            const char* name = buf.data() + at + 19;
            at += length;
            if (length == 0) break;
            char* end = nullptr;
            const long pid = std::strtol(name, &end, 10);
            if (end == name || *end != '\0' || pid <= 0) continue;
            pids[count++] = static_cast<pid_t>(pid);
        }
    }
    const int error = errno;
    ::close(fd);
    if (got < 0) {
        errno = error;
        return -1;
    }
    return static_cast<long>(count);
}

unsigned long files_written_by(pid_t pid, const file_identity* files, std::size_t count) {
    std::array<char, 48> path{};
    (void)std::snprintf(path.data(), path.size(), "/proc/%d/fd", static_cast<int>(pid));
    const int dir_fd = ::open(path.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) return 0;
    DIR* dir = ::fdopendir(dir_fd);
    if (!dir) {
        ::close(dir_fd);
        return 0;
    }
    unsigned long found = 0;
    while (const dirent* entry = ::readdir(dir))
        found |= written_through(dir_fd, entry->d_name, files, count);
    ::closedir(dir);
    return found;
}

int send_signal(pid_t pid, int signal) { return ::kill(pid, signal); }

namespace {

// The kernel's own numbers (the same on every architecture): small
// systems' C libraries may not name them.
#ifdef SYS_clone3
constexpr long clone3_call = SYS_clone3;
#else
constexpr long clone3_call = 435;
#endif
#ifdef SYS_pidfd_send_signal
constexpr long pidfd_send_signal_call = SYS_pidfd_send_signal;
#else
constexpr long pidfd_send_signal_call = 424;
#endif
constexpr std::uint64_t clone_into_cgroup = 0x200000000ULL;

// struct clone_args as of Linux 5.7, the first size that has `cgroup`.
struct clone_arguments {
    std::uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls, set_tid,
        set_tid_size, cgroup;
};

}  // namespace

pid_t fork_into_cgroup(int cgroup_fd) {
    clone_arguments arguments{};
    arguments.flags = clone_into_cgroup;
    arguments.exit_signal = SIGCHLD;
    arguments.cgroup = static_cast<std::uint64_t>(cgroup_fd);
    return static_cast<pid_t>(::syscall(clone3_call, &arguments, sizeof arguments));
}

int signal_process_handle(int handle, int signal) {
    return static_cast<int>(::syscall(pidfd_send_signal_call, handle, signal, nullptr, 0U));
}

pid_t reap_child(pid_t pid, int* status) {
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(pid, status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    return reaped;
}

uid_t effective_user() { return ::geteuid(); }

}  // namespace vorn::real
