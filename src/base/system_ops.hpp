// Every way in which the programs act on the system outside their own
// memory: creating, reaping and killing processes, the one wait, descriptors,
// killing stale copies of a task by name, reading the configuration,
// looking at paths and renaming the pending updater.
//
// The supervisor calls them only through `sys`, a process-wide table of
// function pointers that starts out as the real system calls.  Tests and
// tools that must not touch the system (the fuzzer, the configuration
// checker) put their own functions in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace vorn {

// Where a kill-by-name run sends its output: both streams to the null
// device, or only standard output (its complaints stay visible in debug mode).
enum class kill_output { silent, stderr_kept };

inline constexpr std::size_t kill_names_per_run = 16;

// A file as the kernel knows it, whatever its names.
struct file_identity {
    dev_t device;
    ino_t inode;
};
inline constexpr std::size_t files_written_max = 8 * sizeof(unsigned long);

struct system_ops {
    pid_t (*fork_process)();         // fork(): -1 with errno on failure
    pid_t (*reap_any)(int* status);  // waitpid(-1, status, WNOHANG)
    // Whether the child pid has ended, without reaping it (waitid with
    // WNOWAIT): 1 with *status set as waitpid would set it, 0 while it
    // runs, -1 with errno set (no such child).
    int (*child_ended)(pid_t pid, int* status);
    int (*kill_process)(pid_t pid);  // kill(pid, SIGKILL)
    // A pipe on which a child tells that its exec failed: both ends
    // close-on-exec and non-blocking, fds[0] to read and fds[1] to write,
    // so that the reader sees the end of the file once the child has
    // executed its program.  0, or -1 with errno set.
    int (*open_exec_report)(int fds[2]);
    // A descriptor that becomes readable when the child pid ends
    // (pidfd_open, close-on-exec), or -1 with errno set: ENOSYS on kernels
    // before 5.3 and some emulators, where ends are looked for at passes.
    // Any other process can be held by one too, to signal it through
    // signal_process_handle.
    int (*open_process_handle)(pid_t pid);
    // Whether the child behind the handle has ended, without reaping it
    // (waitid on the descriptor with WNOWAIT): 1 with *status set as
    // waitpid would set it, 0 while it runs, -1 with errno set.
    int (*handle_ended)(int handle, int* status);
    // The one wait: until one of the descriptors is ready (ppoll; revents
    // set) or the boot clock reaches deadline_ms, at once when it has.
    // The count of descriptors ready, 0 at the deadline (or cut short by a
    // signal), -1 with errno set when they cannot be waited on (the time
    // until the deadline has passed then all the same).  No signal handler
    // is needed to end it.
    int (*wait_for)(struct pollfd* fds, std::size_t count, long long deadline_ms);
    int (*open_null_device)();        // open("/dev/null", O_WRONLY)
    void (*redirect_output)(int fd);  // fd onto standard output and error
    void (*close_descriptor)(int fd);
    // Runs `killall -9 -- <name>...` once for all `count` names (in runs of
    // at most kill_names_per_run) and waits for it: killall reads the
    // process table once for all of them.  Each name is one argument of its
    // own and never passes through a shell.  No names: no run.  Returns 0,
    // or the error number of a run that could not be started (no killall).
    int (*kill_by_name)(const char* const* names, std::size_t count, kill_output output);
    // Reads at most cap bytes of the file.  Returns the count, or -1 with
    // errno set when the file cannot be opened.
    long (*read_file)(const char* path, char* buf, std::size_t cap);
    // access(path, F_OK) == 0: anything at the path, a directory too.
    bool (*path_exists)(const char* path);
    // stat(path, info): 0, or -1 with errno set.
    int (*stat_path)(const char* path, struct stat* info);
    // access(path, X_OK) == 0.
    bool (*path_executable)(const char* path);
    // rename(from, to): 0, or -1 with errno set.
    int (*rename_path)(const char* from, const char* to);
    // Opens the null device on each of descriptors 0, 1 and 2 that is not
    // open (0 for reading, 1 and 2 for writing).
    void (*open_standard_descriptors)();
    // Marks every open descriptor above 2 close-on-exec, so that none of
    // those the program was started with reaches a program it executes.
    void (*close_inherited_on_exec)();
    // time(nullptr): seconds since the epoch, for display; it jumps when
    // the clock is set.
    std::time_t (*now)();
    // Seconds of CLOCK_BOOTTIME: never set, never jumps, counts suspended
    // time, and is the same for every process.  All durations come from it.
    std::time_t (*boot_seconds)();
    // The same clock in milliseconds: every deadline of the supervisor.
    long long (*boot_milliseconds)();
    // Replaces the file at path by len bytes of data, so that a reader sees
    // either the old file or the whole new one: the data goes into a
    // temporary file of an unpredictable name in the same directory
    // (created with O_EXCL, so nothing planted is ever opened), gets mode
    // 0644 and, unless stamp is negative, stamp as its modification time,
    // and is renamed over path.  0, or -1 with errno set; the temporary
    // file is gone either way.
    int (*replace_file)(const char* path, const char* data, std::size_t len, std::time_t stamp);
    // Sets the modification (and access) time of the file at path to stamp
    // seconds, never through a symbolic link.  0, or -1 with errno set.
    int (*stamp_file)(const char* path, std::time_t stamp);
    // unlink(path): 0, or -1 with errno set.
    int (*remove_file)(const char* path);
    // Like read_file, but never through a symbolic link, and with what
    // fstat tells of the file opened in *info.  Only a regular file is
    // read (other kinds read as 0 bytes).
    long (*read_file_info)(const char* path, char* buf, std::size_t cap, struct stat* info);
    // The ids of the processes running now (the numeric entries of /proc),
    // at most cap of them.  The count, or -1 with errno set.
    long (*list_processes)(pid_t* pids, std::size_t cap);
    // Which of the files (at most files_written_max) the process holds open
    // for writing on any of its descriptors, looking at /proc/<pid>/fd: bit
    // i for files[i]; 0 too when its descriptors cannot be seen.
    unsigned long (*files_written_by)(pid_t pid, const file_identity* files, std::size_t count);
    // readlink(path) into buf[cap], NUL-terminated (cut to cap - 1 bytes).
    // The length, or -1 with errno set.
    long (*read_link)(const char* path, char* buf, std::size_t cap);
    // Reads the file from start to end through buf[cap], handing every piece
    // read to take(context, piece, length) as it comes, so that a file of
    // any length is read without a buffer of that length; reading stops early
    // when take returns false.  A file that is not a regular file reads as
    // empty.  0, or -1 with errno set when the file cannot be opened or a
    // read fails (the pieces read before the failure have been handed over).
    int (*read_file_pieces)(const char* path, char* buf, std::size_t cap,
                            bool (*take)(void* context, const char* piece, std::size_t length),
                            void* context);

    // Task logs.  The directory at path, opened never through a symbolic
    // link; when it is missing and its parent exists it is made first, with
    // mode 0750.  What fstat tells of it in *info.  The descriptor
    // (close-on-exec), or -1 with errno set.
    int (*open_directory)(const char* path, struct stat* info);
    // Like open_directory, but never making it: a missing one is ENOENT.
    int (*open_existing_directory)(const char* path, struct stat* info);
    // lstat(path, info): what the path itself is, a link not followed.  0,
    // or -1 with errno set.
    int (*lstat_path)(const char* path, struct stat* info);
    // Opens name in the directory dir_fd for appending, made with mode 0640
    // when missing; never through a symbolic link and never waiting on a
    // FIFO.  What fstat tells of what was opened in *info: the caller
    // decides whether to keep it.  The descriptor (close-on-exec), or -1
    // with errno set.
    int (*open_log)(int dir_fd, const char* name, struct stat* info);
    // Opens name in the directory dir_fd for reading, never through a
    // symbolic link and never waiting on a FIFO; fstat of it in *info.
    int (*open_read_at)(int dir_fd, const char* name, struct stat* info);
    // Makes name in the directory dir_fd, which must not exist yet
    // (O_EXCL, never through a link), mode 0640, for writing.  The
    // descriptor, or -1 with errno set.
    int (*create_file_at)(int dir_fd, const char* name);
    // renameat and unlinkat within one directory: 0, or -1 with errno set.
    int (*rename_at)(int dir_fd, const char* from, const char* to);
    int (*remove_at)(int dir_fd, const char* name);
    // fstat(fd, info): 0, or -1 with errno set.
    int (*stat_descriptor)(int fd, struct stat* info);
    // Writes all len bytes, going on after EINTR: 0, or -1 with errno set.
    int (*write_descriptor)(int fd, const char* data, std::size_t len);
    // pread, going on after EINTR: the count (0 at the end), or -1.
    long (*read_at)(int fd, char* buf, std::size_t len, off_t offset);
    // Copies len bytes from offset `from` of from_fd to the end of what was
    // written of to_fd, within the kernel (copy_file_range), going on after
    // EINTR and short copies.  The count copied (less than len when the file
    // ends sooner), or -1 with errno set (EXDEV, ENOSYS, EINVAL or
    // EOPNOTSUPP when the two files cannot be copied this way).
    long (*copy_range)(int from_fd, off_t from, int to_fd, std::size_t len);
    // Watching writes to the task logs: an inotify descriptor (non-blocking,
    // close-on-exec), readable after a write.  The descriptor, or -1 with
    // errno set.
    int (*open_write_watch)();
    // Watches writes to the open file fd (through /proc/self/fd, never a
    // name in a directory): the watch descriptor, or -1 with errno set.
    int (*watch_file_writes)(int notify_fd, int fd);
    void (*forget_file_writes)(int notify_fd, int watch);
    // Reads away the events that came so far: whether there was any.
    bool (*take_write_events)(int notify_fd);
    // ftruncate(fd, 0): 0, or -1 with errno set.
    int (*truncate_descriptor)(int fd);
    // geteuid().
    uid_t (*effective_user)();
    // The last bytes of the file name in the directory dir_fd, at most cap
    // of them, read never through a symbolic link and never waiting on a
    // FIFO, with what fstat tells of the file in *info.  Only a regular
    // file is read (others read as 0 bytes).  The count, or -1 with errno
    // set.
    long (*read_tail_at)(int dir_fd, const char* name, char* buf, std::size_t cap,
                         struct stat* info);

    // Watching the supervisor.  A datagram socket of the AF_UNIX family
    // (close-on-exec), or -1 with errno set.
    int (*open_datagram_socket)();
    // Sends len bytes of message as one datagram to the socket named
    // socket_name: a path, or an abstract name when it begins with '@'.
    // Never waits and never raises SIGPIPE; goes on after EINTR.  0, or -1
    // with errno set.
    int (*send_datagram)(int fd, const char* socket_name, const char* message, std::size_t len);
    // Opens the device at path for writing (close-on-exec, never waiting:
    // a FIFO without a reader fails at once), with what fstat tells of it
    // in *info.  The descriptor, or -1 with errno set.
    int (*open_device)(const char* path, struct stat* info);
    // The watchdog's timeout in seconds (WDIOC_GETTIMEOUT), or -1 with
    // errno set when the device does not tell.
    int (*watchdog_timeout)(int fd);
    // Whether the device answers WDIOC_GETSUPPORT, as every watchdog
    // driver does: 0, or -1 with errno set (ENOTTY from a terminal, the
    // null device, a flash partition or any other device).
    int (*watchdog_support)(int fd);

    // The control channel.  A Unix stream socket listening at path, which
    // must not exist yet: mode 0600, non-blocking and close-on-exec.  The
    // descriptor, or -1 with errno set.
    int (*listen_at)(const char* path);
    // A connection that waits (non-blocking, close-on-exec), with the
    // peer's pid and uid as the kernel gives them: the descriptor, or -1
    // with errno set (EAGAIN: none waits).
    int (*accept_client)(int listen_fd, pid_t* pid, uid_t* uid);
    // read(2) without waiting, going on after EINTR: the count, 0 at the
    // end, or -1 with errno set (EAGAIN: nothing yet).
    long (*read_some)(int fd, char* buf, std::size_t len);
    // kill(pid, signal): 0, or -1 with errno set.
    int (*send_signal)(pid_t pid, int signal);
    // waitpid(pid, status, WNOHANG): pid once reaped, 0 while it runs, -1
    // with errno set.
    pid_t (*reap_child)(pid_t pid, int* status);
    // The client's side: connects to the Unix stream socket at path, whose
    // reads then wait at most `seconds` (then fail with EAGAIN), and tells
    // the pid and uid of the process that listens there.  The descriptor
    // (close-on-exec), or -1 with errno set.
    int (*connect_channel)(const char* path, unsigned seconds, pid_t* pid, uid_t* uid);
    // Sends all len bytes on the connected stream socket fd, going on after
    // EINTR and short sends, never raising SIGPIPE: 0, or -1 with errno set
    // (EPIPE or ECONNRESET: the peer has closed its end, maybe after an
    // answer that is still there to be read).
    int (*send_all)(int fd, const char* data, std::size_t len);

    // Users and groups, from /etc/passwd and /etc/group as they are written
    // (base/accounts.hpp; no other source of the C library's name service
    // is consulted): resolved when the configuration is read, never in a
    // child.  Each lookup answers 1 when the entry is found, 0 when there is
    // none, -1 with errno set when the file cannot be read (or a name found
    // does not fit: ENAMETOOLONG).  A user by name: its uid and primary group.
    int (*find_user)(const char* name, uid_t* uid, gid_t* gid);
    // A user by number (the first entry with that uid): its name (into
    // name[cap]) and primary group.
    int (*find_user_id)(uid_t uid, char* name, std::size_t cap, gid_t* gid);
    // The home directory of the user of that name, into home[cap].
    int (*find_user_home)(const char* name, char* home, std::size_t cap);
    // A group by name, and whether a group of that number exists.
    int (*find_group)(const char* name, gid_t* gid);
    int (*find_group_id)(gid_t gid);
    // The groups of the user, `primary` first, then each group that lists
    // it as a member, each once: how many there are, which may be more
    // than cap (only cap of them are then in groups), or -1 with errno set.
    long (*user_groups)(const char* name, gid_t primary, gid_t* groups, std::size_t cap);
    // Task units.  mkdir(path, 0755), which never follows a link: 0, or -1
    // with errno set (EEXIST for anything already there).
    int (*make_directory)(const char* path);
    // Opens the existing file at path for writing (close-on-exec, never
    // through a symbolic link, never waiting): the descriptor, or -1 with
    // errno set.
    int (*open_for_writing)(const char* path);
    // rmdir(path): 0, or -1 with errno set (EBUSY for a cgroup that holds
    // processes or cgroups of its own).
    int (*remove_directory)(const char* path);
    // Hands the name of every directory in the directory at path (opened
    // never through a symbolic link; "." and ".." left out) to
    // take(context, name) as it is read; reading stops early when take
    // returns false.  0, or -1 with errno set when it cannot be read.
    int (*list_directories)(const char* path, bool (*take)(void* context, const char* name),
                            void* context);
    // A child started in the cgroup of the directory cgroup_fd (clone3 with
    // CLONE_INTO_CGROUP, Linux 5.7): in the child it returns 0 and the
    // child goes on as after fork_process, having taken no fork handler of
    // the C library (only async-signal-safe calls follow).  The child's pid,
    // or -1 with errno set: ENOSYS (or E2BIG) where the kernel lacks it,
    // the cgroup's own errors (EBUSY, EACCES, ENOENT...) else.
    pid_t (*fork_into_cgroup)(int cgroup_fd);
    // pidfd_send_signal: the signal to the process behind the handle
    // (open_process_handle), which cannot be another process even once its
    // pid is free again.  0, or -1 with errno set (ESRCH once it has ended).
    int (*signal_process_handle)(int handle, int signal);
    // Scratch memory for what has no fixed bound (the processes of a
    // unit, the process table): anonymous pages mapped when needed, grown
    // (the pages may move) and given back once used, so that none of them
    // stays with the supervisor.  map_memory: the pages, or nullptr with
    // errno set; remap_memory likewise (the old pages stay valid when it
    // fails).
    void* (*map_memory)(std::size_t size);
    void* (*remap_memory)(void* address, std::size_t old_size, std::size_t new_size);
    void (*unmap_memory)(void* address, std::size_t size);
    // A task's settings, applied by its child between fork and exec (each
    // async-signal-safe), and the supervisor's own OOM score.  Each 0, or
    // -1 with errno set.
    // Writes value into /proc/self/oom_score_adj.
    int (*set_oom_score)(int value);
    // setrlimit(resource, value) with the soft limit equal to the hard one;
    // UINT64_MAX is RLIM_INFINITY.
    int (*set_limit)(int resource, std::uint64_t value);
    // setpriority(PRIO_PROCESS, 0, value): the nice value itself, not a step.
    int (*set_nice)(int value);
    // prctl(PR_CAPBSET_DROP, number): EINVAL for a number past the last
    // capability the kernel knows.
    int (*drop_bounding_capability)(int number);
    // prctl(PR_SET_KEEPCAPS, 1): the permitted set outlives the change of user.
    int (*keep_capabilities)();
    int (*set_groups)(const gid_t* groups, std::size_t count);  // setgroups
    int (*set_group_id)(gid_t gid);                             // setresgid(gid, gid, gid)
    int (*set_user_id)(uid_t uid);                              // setresuid(uid, uid, uid)
    // getresuid and getresgid: the real, effective and saved ids.
    void (*identity_now)(uid_t uids[3], gid_t gids[3]);
    // capset: the effective, permitted and inheritable sets all become
    // kept (bit n: capability n).
    int (*set_capabilities)(std::uint64_t kept);
    // prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, number).
    int (*raise_ambient_capability)(int number);
    int (*change_directory)(const char* path);  // chdir
    int (*forbid_new_privileges)();             // prctl(PR_SET_NO_NEW_PRIVS, 1)
    // execvp(path, argv) when envp is nullptr (the environment as it is),
    // else execve(path, argv, envp).  Returns only when it fails: -1.
    int (*exec_program)(const char* path, char* const argv[], char* const envp[]);
};

extern const system_ops real_system_ops;
extern system_ops sys;

}  // namespace vorn
