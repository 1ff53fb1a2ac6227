// The real system table: every act on the system outside the programs'
// own memory, as system calls (see system_ops.hpp).
#include "base/system_ops.hpp"

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
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/inherited.hpp"

namespace vorn {

namespace {

pid_t real_fork() { return ::fork(); }

pid_t real_reap_any(int* status) { return ::waitpid(-1, status, WNOHANG); }

int real_child_ended(pid_t pid, int* status) {
    siginfo_t info{};
    int result = 0;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return -1;
    if (info.si_pid == 0) return 0;  // still running
    // The status word waitpid would give: the code in bits 8 to 15, or the
    // signal in the low 7 bits with 0x80 for a core dump.
    switch (info.si_code) {
        case CLD_EXITED: *status = (info.si_status & 0xff) << 8; break;
        case CLD_DUMPED: *status = (info.si_status & 0x7f) | 0x80; break;
        default: *status = info.si_status & 0x7f; break;
    }
    return 1;
}

int real_kill(pid_t pid) { return ::kill(pid, SIGKILL); }

unsigned real_pause(unsigned seconds) { return ::sleep(seconds); }

void real_pause_milliseconds(unsigned ms) { ::usleep(static_cast<useconds_t>(ms) * 1000U); }

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

int real_kill_by_name(const char* const* names, std::size_t count, kill_output output) {
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

// Closes the descriptor it holds when it goes out of scope.
class unique_fd {
public:
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

long read_open_file(int flags, const char* path, char* buf, std::size_t cap, struct stat* info) {
    // Opened without blocking: a FIFO put in place of the file must not
    // stall the supervisor waiting for a writer.
    const unique_fd fd{::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags)};
    if (fd.get() < 0) return -1;
    // Only a regular file holds a configuration; a directory, FIFO or device
    // reads as empty, which no configuration is.
    if (::fstat(fd.get(), info) != 0 || !S_ISREG(info->st_mode)) return 0;
    std::size_t used = 0;
    while (used < cap) {
        const ssize_t n = ::read(fd.get(), buf + used, cap - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
    }
    return static_cast<long>(used);
}

long real_read_file(const char* path, char* buf, std::size_t cap) {
    struct stat info {};
    return read_open_file(0, path, buf, cap, &info);
}

long real_read_file_info(const char* path, char* buf, std::size_t cap, struct stat* info) {
    return read_open_file(O_NOFOLLOW, path, buf, cap, info);
}

bool real_path_exists(const char* path) { return ::access(path, F_OK) == 0; }

int real_stat(const char* path, struct stat* info) { return ::stat(path, info); }

bool real_path_executable(const char* path) { return ::access(path, X_OK) == 0; }

int real_rename(const char* from, const char* to) { return std::rename(from, to); }

void real_open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself: the ones below are open.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

// Marks fd close-on-exec, its other flags left as they are.
void keep_from_children(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void real_close_inherited_on_exec() {
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

std::time_t real_now() { return std::time(nullptr); }

std::time_t real_boot_seconds() {
    timespec now{};
    if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

bool write_all(int fd, const char* data, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// "<path>.XXXXXX" for mkostemp: the longest status path and the suffix fit.
constexpr char temp_pattern[] = ".XXXXXX";
using temp_name = std::array<char, 512>;

int real_replace_file(const char* path, const char* data, std::size_t len, std::time_t stamp) {
    temp_name temp{};
    const int n = std::snprintf(temp.data(), temp.size(), "%s%s", path, temp_pattern);
    if (n < 0 || static_cast<std::size_t>(n) >= temp.size()) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // A name no one can know in advance, created with O_EXCL: nothing
    // planted there beforehand can be opened, followed or block the write.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    // The mode does not depend on the umask the supervisor was started with.
    const bool written = ::fchmod(fd, 0644) == 0 && write_all(fd, data, len) &&
                         (stamp < 0 || ::futimens(fd, times) == 0);
    int error = errno;
    const bool closed = ::close(fd) == 0;
    if (written && !closed) error = errno;
    if (written && closed && ::rename(temp.data(), path) == 0) return 0;
    if (written && closed) error = errno;
    ::unlink(temp.data());
    errno = error;
    return -1;
}

int real_stamp_file(const char* path, std::time_t stamp) {
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    return ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

int real_remove_file(const char* path) { return ::unlink(path); }

long real_list_processes(pid_t* pids, std::size_t cap) {
    DIR* dir = ::opendir("/proc");
    if (!dir) return -1;
    std::size_t count = 0;
    while (count < cap) {
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
        pids[count++] = static_cast<pid_t>(pid);
    }
    ::closedir(dir);
    return static_cast<long>(count);
}

long real_read_link(const char* path, char* buf, std::size_t cap) {
    if (cap == 0) return -1;
    const ssize_t n = ::readlink(path, buf, cap - 1);
    if (n < 0) return -1;
    buf[n] = '\0';
    return static_cast<long>(n);
}

int real_read_file_pieces(const char* path, char* buf, std::size_t cap,
                          bool (*take)(void* context, const char* piece, std::size_t length),
                          void* context) {
    // Not blocking on a FIFO, and only a regular file, as for read_file.
    const unique_fd fd{::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (fd.get() < 0) return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || cap == 0) return 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, cap);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0 || !take(context, buf, static_cast<std::size_t>(n))) return 0;
    }
}

// Closes fd, keeping the errno of the failure that made it useless: -1.
int closed_on_error(int fd) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

// The open descriptor fd with what fstat tells of it in *info, or -1 with
// errno set (and fd closed) when fstat fails.
int described(int fd, struct stat* info) {
    return ::fstat(fd, info) == 0 ? fd : closed_on_error(fd);
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

unsigned long real_files_written_by(pid_t pid, const file_identity* files, std::size_t count) {
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

volatile sig_atomic_t log_written = 0;

void note_log_write(int) { log_written = 1; }

int real_open_write_watch() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return -1;
    struct sigaction on_write {};
    on_write.sa_handler = note_log_write;
    on_write.sa_flags = SA_RESTART;
    sigemptyset(&on_write.sa_mask);
    if (::sigaction(SIGIO, &on_write, nullptr) != 0 || ::fcntl(fd, F_SETOWN, ::getpid()) != 0)
        return closed_on_error(fd);
    return fd;
}

int real_watch_file_writes(int notify_fd, int fd) {
    std::array<char, 40> path{};
    (void)std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", fd);
    return ::inotify_add_watch(notify_fd, path.data(), IN_MODIFY);
}

void real_forget_file_writes(int notify_fd, int watch) { ::inotify_rm_watch(notify_fd, watch); }

void real_arm_write_watch(int notify_fd, bool armed) {
    if (armed) log_written = 0;
    ::fcntl(notify_fd, F_SETFL, O_NONBLOCK | (armed ? O_ASYNC : 0));
    if (!armed) return;
    // After O_ASYNC: a write from now on raises SIGIO however the reads go.
    alignas(inotify_event) std::array<char, 4096> events{};
    while (::read(notify_fd, events.data(), events.size()) > 0) {
    }
}

bool real_take_log_write() {
    if (log_written == 0) return false;
    log_written = 0;
    return true;
}

volatile sig_atomic_t control_note = 0;

void note_control(int) { control_note = 1; }

// Input on fd raises SIGURG in this process.
bool raise_note_on_input(int fd) {
    return ::fcntl(fd, F_SETOWN, ::getpid()) == 0 && ::fcntl(fd, F_SETSIG, SIGURG) == 0 &&
           ::fcntl(fd, F_SETFL, O_NONBLOCK | O_ASYNC) == 0;
}

int real_listen_at(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path, std::strlen(path) + 1);
    struct sigaction on_input {};
    on_input.sa_handler = note_control;
    on_input.sa_flags = SA_RESTART;
    sigemptyset(&on_input.sa_mask);
    if (::sigaction(SIGURG, &on_input, nullptr) != 0) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Made 0600, never for a moment more open: connecting takes write access.
    const mode_t mask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(mask);
    if (bound != 0 || ::listen(fd, 8) != 0 || !raise_note_on_input(fd)) return closed_on_error(fd);
    return fd;
}

int real_accept_client(int listen_fd, pid_t* pid, uid_t* uid) {
    int fd = -1;
    do {
        fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || !raise_note_on_input(fd))
        return closed_on_error(fd);
    *pid = peer.pid;
    *uid = peer.uid;
    return fd;
}

long real_read_some(int fd, char* buf, std::size_t len) {
    ssize_t n = -1;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool real_control_noted() { return control_note != 0; }

bool real_take_control_note() {
    if (control_note == 0) return false;
    control_note = 0;
    return true;
}

int real_send_signal(pid_t pid, int signal) { return ::kill(pid, signal); }

int real_connect_channel(const char* path, unsigned seconds, pid_t* pid, uid_t* uid) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path, std::strlen(path) + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const timeval wait{static_cast<time_t>(seconds), 0};
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return closed_on_error(fd);
    *pid = peer.pid;
    *uid = peer.uid;
    return fd;
}

pid_t real_reap_child(pid_t pid, int* status) {
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(pid, status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    return reaped;
}

int real_open_existing_directory(const char* path, struct stat* info) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    return described(fd, info);
}

int real_open_directory(const char* path, struct stat* info) {
    const int fd = real_open_existing_directory(path, info);
    // A directory made by someone else between the two calls is opened and
    // judged like any other.
    if (fd < 0 && errno == ENOENT && (::mkdir(path, 0750) == 0 || errno == EEXIST))
        return real_open_existing_directory(path, info);
    return fd;
}

int real_lstat_path(const char* path, struct stat* info) { return ::lstat(path, info); }

int real_open_log(int dir_fd, const char* name, struct stat* info) {
    // O_NONBLOCK: a FIFO planted at the name must not stall the supervisor
    // until a reader comes.  It is taken off again for a regular file, so
    // the task writes to its log as to any file.
    const int fd = ::openat(
        dir_fd, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd < 0) return -1;
    if (described(fd, info) < 0) return -1;
    if (S_ISREG(info->st_mode) && ::fcntl(fd, F_SETFL, O_APPEND) != 0) return closed_on_error(fd);
    return fd;
}

int real_open_read_at(int dir_fd, const char* name, struct stat* info) {
    const int fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    return described(fd, info);
}

int real_create_file_at(int dir_fd, const char* name) {
    return ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
}

int real_rename_at(int dir_fd, const char* from, const char* to) {
    return ::renameat(dir_fd, from, dir_fd, to);
}

int real_remove_at(int dir_fd, const char* name) { return ::unlinkat(dir_fd, name, 0); }

int real_stat_descriptor(int fd, struct stat* info) { return ::fstat(fd, info); }

int real_write_descriptor(int fd, const char* data, std::size_t len) {
    return write_all(fd, data, len) ? 0 : -1;
}

long real_read_at(int fd, char* buf, std::size_t len, off_t offset) {
    for (;;) {
        const ssize_t n = ::pread(fd, buf, len, offset);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

long real_copy_range(int from_fd, off_t from, int to_fd, std::size_t len) {
    auto at = static_cast<loff_t>(from);
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::copy_file_range(from_fd, &at, to_fd, nullptr, len - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && done == 0) return -1;
        if (n <= 0) break;  // the file ended, or failed after a part: the part counts
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

int real_truncate_descriptor(int fd) {
    for (;;) {
        const int result = ::ftruncate(fd, 0);
        if (result != 0 && errno == EINTR) continue;
        return result;
    }
}

uid_t real_effective_user() { return ::geteuid(); }

long real_read_tail_at(int dir_fd, const char* name, char* buf, std::size_t cap,
                       struct stat* info) {
    const unique_fd fd{::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    if (fd.get() < 0) return -1;
    if (::fstat(fd.get(), info) != 0) return -1;
    if (!S_ISREG(info->st_mode) || info->st_size <= 0) return 0;
    const auto size = static_cast<unsigned long long>(info->st_size);
    const std::size_t want = size < cap ? static_cast<std::size_t>(size) : cap;
    std::size_t used = 0;
    // The file may shrink meanwhile (a log being rotated): what was read is kept.
    while (used < want) {
        const long n =
            real_read_at(fd.get(), buf + used, want - used, static_cast<off_t>(size - want + used));
        if (n < 0) return -1;
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    return static_cast<long>(used);
}

int real_open_datagram_socket() { return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

int real_send_datagram(int fd, const char* socket_name, const char* message, std::size_t len) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t name_length = std::strlen(socket_name);
    if (name_length == 0 || name_length > sizeof address.sun_path) {
        errno = EINVAL;
        return -1;
    }
    std::memcpy(address.sun_path, socket_name, name_length);
    // An abstract name has no terminator: its length is the address's.
    if (socket_name[0] == '@') address.sun_path[0] = '\0';
    const auto address_length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_length);
    for (;;) {
        const ssize_t sent = ::sendto(fd, message, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), address_length);
        if (sent >= 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int real_open_device(const char* path, struct stat* info) {
    for (;;) {
        const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) return -1;
        return described(fd, info);
    }
}

// The kernel's own numbers for the watchdog requests, and the record
// WDIOC_GETSUPPORT fills: the C libraries of small systems (musl) come
// without the kernel's watchdog header.
struct watchdog_info {
    std::uint32_t options;
    std::uint32_t firmware_version;
    std::array<std::uint8_t, 32> identity;
};
constexpr unsigned long watchdog_get_support = _IOR('W', 0, watchdog_info);
constexpr unsigned long watchdog_get_timeout = _IOR('W', 7, int);

int real_watchdog_timeout(int fd) {
    int seconds = 0;
    if (::ioctl(fd, watchdog_get_timeout, &seconds) != 0) return -1;
    return seconds;
}

int real_watchdog_support(int fd) {
    watchdog_info info{};
    return ::ioctl(fd, watchdog_get_support, &info) == 0 ? 0 : -1;
}

// constexpr, so that both tables are filled before any code runs.
constexpr system_ops real_ops = {
    .fork_process = real_fork,
    .reap_any = real_reap_any,
    .child_ended = real_child_ended,
    .kill_process = real_kill,
    .pause_seconds = real_pause,
    .pause_milliseconds = real_pause_milliseconds,
    .open_null_device = real_open_null,
    .redirect_output = real_redirect,
    .close_descriptor = real_close,
    .kill_by_name = real_kill_by_name,
    .read_file = real_read_file,
    .path_exists = real_path_exists,
    .stat_path = real_stat,
    .path_executable = real_path_executable,
    .rename_path = real_rename,
    .open_standard_descriptors = real_open_standard_descriptors,
    .close_inherited_on_exec = real_close_inherited_on_exec,
    .now = real_now,
    .boot_seconds = real_boot_seconds,
    .replace_file = real_replace_file,
    .stamp_file = real_stamp_file,
    .remove_file = real_remove_file,
    .read_file_info = real_read_file_info,
    .list_processes = real_list_processes,
    .files_written_by = real_files_written_by,
    .read_link = real_read_link,
    .read_file_pieces = real_read_file_pieces,
    .open_directory = real_open_directory,
    .open_existing_directory = real_open_existing_directory,
    .lstat_path = real_lstat_path,
    .open_log = real_open_log,
    .open_read_at = real_open_read_at,
    .create_file_at = real_create_file_at,
    .rename_at = real_rename_at,
    .remove_at = real_remove_at,
    .stat_descriptor = real_stat_descriptor,
    .write_descriptor = real_write_descriptor,
    .read_at = real_read_at,
    .copy_range = real_copy_range,
    .open_write_watch = real_open_write_watch,
    .watch_file_writes = real_watch_file_writes,
    .forget_file_writes = real_forget_file_writes,
    .arm_write_watch = real_arm_write_watch,
    .take_log_write = real_take_log_write,
    .truncate_descriptor = real_truncate_descriptor,
    .effective_user = real_effective_user,
    .read_tail_at = real_read_tail_at,
    .open_datagram_socket = real_open_datagram_socket,
    .send_datagram = real_send_datagram,
    .open_device = real_open_device,
    .watchdog_timeout = real_watchdog_timeout,
    .watchdog_support = real_watchdog_support,
    .listen_at = real_listen_at,
    .accept_client = real_accept_client,
    .read_some = real_read_some,
    .control_noted = real_control_noted,
    .take_control_note = real_take_control_note,
    .send_signal = real_send_signal,
    .reap_child = real_reap_child,
    .connect_channel = real_connect_channel,
};

}  // namespace

const system_ops real_system_ops = real_ops;
system_ops sys = real_ops;

}  // namespace vorn
