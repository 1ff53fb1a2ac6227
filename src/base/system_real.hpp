// The real system calls behind real_system_ops, one for each member of
// the table (what each does is told in system_ops.hpp), and the two small
// helpers their files share.  Only the system_*.cpp files include it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Declared, not included: system_ops.cpp includes this header, and
// system_ops.hpp must not be reached again from it.
namespace vorn {
enum class kill_output;
struct file_identity;
}  // namespace vorn

namespace vorn::real {

// system_processes.cpp
pid_t fork_process();
pid_t reap_any(int* status);
int child_ended(pid_t pid, int* status);
int open_process_handle(pid_t pid);
int handle_ended(int handle, int* status);
int kill_process(pid_t pid);
int open_exec_report(int fds[2]);
int open_null_device();
void redirect_output(int fd);
int kill_by_name(const char* const* names, std::size_t count, kill_output output);
void open_standard_descriptors();
void close_inherited_on_exec();
long list_processes(pid_t* pids, std::size_t cap);
unsigned long files_written_by(pid_t pid, const file_identity* files, std::size_t count);
uid_t effective_user();
int send_signal(pid_t pid, int signal);
pid_t reap_child(pid_t pid, int* status);
pid_t fork_into_cgroup(int cgroup_fd);
int signal_process_handle(int handle, int signal);

// system_files.cpp
void close_descriptor(int fd);
long read_file(const char* path, char* buf, std::size_t cap);
bool path_exists(const char* path);
int stat_path(const char* path, struct stat* info);
bool path_executable(const char* path);
int rename_path(const char* from, const char* to);
int replace_file(const char* path, const char* data, std::size_t len, std::time_t stamp);
int stamp_file(const char* path, std::time_t stamp);
int remove_file(const char* path);
long read_file_info(const char* path, char* buf, std::size_t cap, struct stat* info);
long read_link(const char* path, char* buf, std::size_t cap);
int read_file_pieces(const char* path, char* buf, std::size_t cap,
                     bool (*take)(void* context, const char* piece, std::size_t length),
                     void* context);
int open_directory(const char* path, struct stat* info);
int open_existing_directory(const char* path, struct stat* info);
int lstat_path(const char* path, struct stat* info);
int open_log(int dir_fd, const char* name, struct stat* info);
int open_read_at(int dir_fd, const char* name, struct stat* info);
int create_file_at(int dir_fd, const char* name);
int rename_at(int dir_fd, const char* from, const char* to);
int remove_at(int dir_fd, const char* name);
int stat_descriptor(int fd, struct stat* info);
int write_descriptor(int fd, const char* data, std::size_t len);
long read_at(int fd, char* buf, std::size_t len, off_t offset);
long copy_range(int from_fd, off_t from, int to_fd, std::size_t len);
int open_write_watch();
int watch_file_writes(int notify_fd, int fd);
void forget_file_writes(int notify_fd, int watch);
bool take_write_events(int notify_fd);
int truncate_descriptor(int fd);
long read_tail_at(int dir_fd, const char* name, char* buf, std::size_t cap, struct stat* info);
int make_directory(const char* path);
int open_for_writing(const char* path);
int remove_directory(const char* path);
int list_directories(const char* path, bool (*take)(void* context, const char* name),
                     void* context);
void* map_memory(std::size_t size);
void* remap_memory(void* address, std::size_t old_size, std::size_t new_size);
void unmap_memory(void* address, std::size_t size);

// system_channel.cpp
int open_datagram_socket();
int send_datagram(int fd, const char* socket_name, const char* message, std::size_t len);
int open_device(const char* path, struct stat* info);
int watchdog_timeout(int fd);
int watchdog_support(int fd);
int listen_at(const char* path);
int accept_client(int listen_fd, pid_t* pid, uid_t* uid);
long read_some(int fd, char* buf, std::size_t len);
int connect_channel(const char* path, unsigned seconds, pid_t* pid, uid_t* uid);
int send_all(int fd, const char* data, std::size_t len);

// system_identity.cpp
int set_oom_score(int value);
int set_limit(int resource, std::uint64_t value);
int set_nice(int value);
int drop_bounding_capability(int number);
int keep_capabilities();
int set_groups(const gid_t* groups, std::size_t count);
int set_group_id(gid_t gid);
int set_user_id(uid_t uid);
void identity_now(uid_t uids[3], gid_t gids[3]);
int set_capabilities(std::uint64_t kept);
int raise_ambient_capability(int number);
int change_directory(const char* path);
int forbid_new_privileges();
int exec_program(const char* path, char* const argv[], char* const envp[]);

// system_clock.cpp
std::time_t now();
std::time_t boot_seconds();
long long boot_milliseconds();
int wait_for(struct pollfd* fds, std::size_t count, long long deadline_ms);

// system_users.cpp
int find_user(const char* name, uid_t* uid, gid_t* gid);
int find_user_id(uid_t uid, char* name, std::size_t cap, gid_t* gid);
int find_user_home(const char* name, char* home, std::size_t cap);
int find_group(const char* name, gid_t* gid);
int find_group_id(gid_t gid);
long user_groups(const char* name, gid_t primary, gid_t* groups, std::size_t cap);

// Closes fd, keeping the errno of the failure that made it useless: -1.
inline int closed_on_error(int fd) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

// The open descriptor fd with what fstat tells of it in *info, or -1 with
// errno set (and fd closed) when fstat fails.
inline int described(int fd, struct stat* info) {
    return ::fstat(fd, info) == 0 ? fd : closed_on_error(fd);
}

}  // namespace vorn::real
