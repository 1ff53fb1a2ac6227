// The real system calls on files: reading, replacing, stamping and removing
// them, paths, directories, the task logs, and the watch on writes to them;
// and the scratch pages of what has no fixed bound.
#include "base/system_real.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/system_ops.hpp"

namespace vorn::real {

namespace {

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

}  // namespace

void close_descriptor(int fd) { ::close(fd); }

long read_file(const char* path, char* buf, std::size_t cap) {
    struct stat info {};
    return read_open_file(0, path, buf, cap, &info);
}

long read_file_info(const char* path, char* buf, std::size_t cap, struct stat* info) {
    return read_open_file(O_NOFOLLOW, path, buf, cap, info);
}

bool path_exists(const char* path) { return ::access(path, F_OK) == 0; }

int stat_path(const char* path, struct stat* info) { return ::stat(path, info); }

bool path_executable(const char* path) { return ::access(path, X_OK) == 0; }

int rename_path(const char* from, const char* to) { return std::rename(from, to); }

int replace_file(const char* path, const char* data, std::size_t len, std::time_t stamp) {
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

int stamp_file(const char* path, std::time_t stamp) {
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    return ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

int remove_file(const char* path) { return ::unlink(path); }

long read_link(const char* path, char* buf, std::size_t cap) {
    if (cap == 0) return -1;
    const ssize_t n = ::readlink(path, buf, cap - 1);
    if (n < 0) return -1;
    buf[n] = '\0';
    return static_cast<long>(n);
}

int read_file_pieces(const char* path, char* buf, std::size_t cap,
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

int open_write_watch() { return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

int watch_file_writes(int notify_fd, int fd) {
    std::array<char, 40> path{};
    (void)std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", fd);
    return ::inotify_add_watch(notify_fd, path.data(), IN_MODIFY);
}

void forget_file_writes(int notify_fd, int watch) { ::inotify_rm_watch(notify_fd, watch); }

bool take_write_events(int notify_fd) {
    alignas(inotify_event) std::array<char, 4096> events{};
    bool any = false;
    while (::read(notify_fd, events.data(), events.size()) > 0) any = true;
    return any;
}

int open_existing_directory(const char* path, struct stat* info) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    return described(fd, info);
}

int open_directory(const char* path, struct stat* info) {
    const int fd = open_existing_directory(path, info);
    // A directory made by someone else between the two calls is opened and
    // judged like any other.
    if (fd < 0 && errno == ENOENT && (::mkdir(path, 0750) == 0 || errno == EEXIST))
        return open_existing_directory(path, info);
    return fd;
}

int lstat_path(const char* path, struct stat* info) { return ::lstat(path, info); }

int open_log(int dir_fd, const char* name, struct stat* info) {
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

int open_read_at(int dir_fd, const char* name, struct stat* info) {
    const int fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    return described(fd, info);
}

int create_file_at(int dir_fd, const char* name) {
    return ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
}

int rename_at(int dir_fd, const char* from, const char* to) {
    return ::renameat(dir_fd, from, dir_fd, to);
}

int remove_at(int dir_fd, const char* name) { return ::unlinkat(dir_fd, name, 0); }

int stat_descriptor(int fd, struct stat* info) { return ::fstat(fd, info); }

int write_descriptor(int fd, const char* data, std::size_t len) {
    return write_all(fd, data, len) ? 0 : -1;
}

long read_at(int fd, char* buf, std::size_t len, off_t offset) {
    for (;;) {
        const ssize_t n = ::pread(fd, buf, len, offset);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

long copy_range(int from_fd, off_t from, int to_fd, std::size_t len) {
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

int truncate_descriptor(int fd) {
    for (;;) {
        const int result = ::ftruncate(fd, 0);
        if (result != 0 && errno == EINTR) continue;
        return result;
    }
}

long read_tail_at(int dir_fd, const char* name, char* buf, std::size_t cap, struct stat* info) {
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
            read_at(fd.get(), buf + used, want - used, static_cast<off_t>(size - want + used));
        if (n < 0) return -1;
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    return static_cast<long>(used);
}

int make_directory(const char* path) { return ::mkdir(path, 0755); }

int open_for_writing(const char* path) {
    return ::open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}

int remove_directory(const char* path) { return ::rmdir(path); }

// Read with getdents64 into a buffer of its own, as list_processes reads
// /proc: a cgroup's directories are listed when it is removed, and that
// uses no heap.  A small buffer: the calls nest for cgroups below cgroups.
int list_directories(const char* path, bool (*take)(void* context, const char* name),
                     void* context) {
    const unique_fd fd{::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (fd.get() < 0) return -1;
    alignas(8) std::array<char, 1024> buf{};
    long got = 0;
    while ((got = ::syscall(SYS_getdents64, fd.get(), buf.data(), buf.size())) > 0) {
        for (long at = 0; at < got;) {
            // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
            unsigned short length = 0;
            std::memcpy(&length, buf.data() + at + 16, sizeof length);
            const unsigned char type =
                static_cast<unsigned char>(buf[static_cast<std::size_t>(at) + 18]);
            const char* name = buf.data() + at + 19;
            if (length == 0) return 0;
            at += length;
            if (type != DT_DIR || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (!take(context, name)) return 0;
        }
    }
    return got < 0 ? -1 : 0;
}

void* map_memory(std::size_t size) {
    void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void* remap_memory(void* address, std::size_t old_size, std::size_t new_size) {
    void* pages = ::mremap(address, old_size, new_size, MREMAP_MAYMOVE);
    return pages == MAP_FAILED ? nullptr : pages;
}

void unmap_memory(void* address, std::size_t size) { ::munmap(address, size); }

}  // namespace vorn::real
