#include "fake_system.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

namespace vorn::testing {

namespace {

pid_t fake_fork() {
    if (fake_system::fork_failures > 0) {
        --fake_system::fork_failures;
        errno = EAGAIN;
        return -1;
    }
    fake_system::forked.push_back(fake_system::next_pid);
    return fake_system::next_pid++;
}

pid_t fake_reap(int* status) {
    ++fake_system::reap_calls;
    if (fake_system::reaps.empty()) {
        errno = ECHILD;
        return -1;
    }
    const auto [pid, word] = fake_system::reaps.front();
    fake_system::reaps.pop_front();
    *status = word;
    return pid;
}

int fake_kill(pid_t pid) {
    fake_system::killed.push_back(pid);
    return 0;
}

// The descriptor of the write watch of the logs.
constexpr int fake_logs_watch = 90;

// What the growing file's writer writes meanwhile.
void grow(unsigned long ms) {
    if (fake_logs::growing.empty()) return;
    std::string& file = fake_logs::files[fake_logs::growing];
    file.append(fake_logs::bytes_per_second * ms / 1000, 'x');
    fake_logs::largest = std::max(fake_logs::largest, file.size());
}

long long fake_boot_ms() { return fake_system::boot_clock * 1000LL + fake_system::boot_ms; }

// The first firing among fds due by the deadline, set ready: its moment, or -1.
long long fire(struct pollfd* fds, std::size_t count, long long deadline) {
    auto& list = fake_system::firings;
    auto first = list.end();
    for (auto f = list.begin(); f != list.end(); ++f)
        for (std::size_t i = 0; i < count; ++i)
            if (fds[i].fd == f->fd && f->at_ms <= deadline &&
                (first == list.end() || f->at_ms < first->at_ms))
                first = f;
    if (first == list.end()) return -1;
    const long long at = std::max(first->at_ms, fake_boot_ms());
    for (std::size_t i = 0; i < count; ++i)
        if (fds[i].fd == first->fd) fds[i].revents = POLLIN;
    list.erase(first);
    return at;
}

int fake_wait_for(struct pollfd* fds, std::size_t count, long long deadline) {
    const long long now = fake_boot_ms();
    int ready = 0;
    for (std::size_t i = 0; i < count; ++i)
        if ((fds[i].fd >= fake_system::handle_base &&
             fake_system::ended.count(fds[i].fd - fake_system::handle_base) != 0) ||
            fds[i].fd == fake_system::report_fd) {
            fds[i].revents = POLLIN;
            ++ready;
        }
    if (ready > 0) return ready;
    for (std::size_t i = 0; i < count; ++i)
        if (fds[i].fd == fake_logs_watch && fake_logs::bytes_per_second != 0) {
            grow(1);  // the first write wakes it
            fake_system::boot_ms += 1;
            fake_logs::write_noted = true;
            fds[i].revents = POLLIN;
            return 1;
        }
    const long long fired = fire(fds, count, deadline);
    long long until = fired >= 0 ? fired : std::max(deadline, now);
    // A wait that ends at once again and again is a supervisor that spins:
    // said, and the clock moved on so that the test ends.
    static int spins = 0;
    spins = fired < 0 && until == now ? spins + 1 : 0;
    if (spins > 1000) {
        ADD_FAILURE() << "the supervisor waits again and again until a deadline that has passed";
        until = now + 1000;
    }
    if (fired < 0 && (until - now) % 1000 == 0)
        fake_system::sleeps.push_back(static_cast<unsigned>((until - now) / 1000));
    else if (fired < 0)
        fake_system::sleeps_ms.push_back(static_cast<unsigned>(until - now));
    fake_system::boot_ms += until - now;
    grow(static_cast<unsigned long>(until - now));
    return fired >= 0 ? 1 : 0;
}

int fake_open_handle(pid_t pid) {
    if (fake_system::handles) return fake_system::handle_base + pid;
    errno = ENOSYS;
    return -1;
}

int fake_handle_ended(int handle, int* status) {
    const auto found = fake_system::ended.find(handle - fake_system::handle_base);
    if (found == fake_system::ended.end()) return 0;
    *status = found->second;
    return 1;
}

int fake_open_null() {
    ++fake_system::opened;
    if (fake_system::null_fd < 0) errno = EACCES;
    return fake_system::null_fd;
}

void fake_redirect(int) {}

void fake_close(int fd) {
    fake_system::closed.push_back(fd);
    fake_logs::fds.erase(fd);
}

constexpr int fake_dir_fd = 39;

int logs_open_directory(const char*, struct stat* info) {
    if (fake_logs::dir_error != 0) {
        errno = fake_logs::dir_error;
        return -1;
    }
    *info = fake_logs::dir_info;
    return fake_dir_fd;
}

int logs_lstat(const char*, struct stat* info) {
    if (fake_logs::lstat_error != 0) {
        errno = fake_logs::lstat_error;
        return -1;
    }
    *info = fake_logs::dir_info;
    return 0;
}

int logs_open(int, const char* name, struct stat* info) {
    *info = {};
    info->st_uid = fake_logs::euid;
    info->st_nlink = 1;
    const auto planted = fake_logs::planted.find(name);
    if (planted != fake_logs::planted.end() && S_ISLNK(planted->second)) {
        errno = ELOOP;
        return -1;
    }
    info->st_mode = planted != fake_logs::planted.end() ? planted->second : S_IFREG | 0640;
    std::string& content = fake_logs::files[name];
    info->st_size = static_cast<off_t>(content.size());
    info->st_ino = std::hash<std::string>{}(name);
    fake_logs::fds[fake_logs::next_fd] = name;
    return fake_logs::next_fd++;
}

int logs_create(int, const char* name) {
    if (fake_logs::create_error != 0) {
        errno = fake_logs::create_error;
        return -1;
    }
    if (fake_logs::files.count(name) != 0) {
        errno = EEXIST;
        return -1;
    }
    fake_logs::files[name];
    fake_logs::fds[fake_logs::next_fd] = name;
    return fake_logs::next_fd++;
}

int logs_rename(int, const char* from, const char* to) {
    const auto found = fake_logs::files.find(from);
    if (found == fake_logs::files.end()) {
        errno = ENOENT;
        return -1;
    }
    fake_logs::files[to] = found->second;
    fake_logs::files.erase(from);
    return 0;
}

int logs_remove(int, const char* name) {
    if (fake_logs::files.erase(name) == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

// The file behind a descriptor, or nullptr (EBADF).
std::string* logs_file(int fd) {
    const auto found = fake_logs::fds.find(fd);
    if (found == fake_logs::fds.end()) {
        errno = EBADF;
        return nullptr;
    }
    return &fake_logs::files[found->second];
}

int logs_stat(int fd, struct stat* info) {
    const std::string* file = logs_file(fd);
    if (!file) return -1;
    *info = {};
    info->st_mode = S_IFREG | 0640;
    info->st_size = static_cast<off_t>(file->size());
    info->st_ino = std::hash<std::string>{}(fake_logs::fds[fd]);
    return 0;
}

int logs_open_read(int, const char* name, struct stat* info) {
    if (fake_logs::files.count(name) == 0) {
        errno = ENOENT;
        return -1;
    }
    fake_logs::fds[fake_logs::next_fd] = name;
    logs_stat(fake_logs::next_fd, info);
    return fake_logs::next_fd++;
}

int logs_write(int fd, const char* data, std::size_t len) {
    if (fd >= fake_system::client_base && fd < fake_system::client_base + 100) {
        fake_system::answers.emplace_back(fake_boot_ms(), std::string(data, len));
        return 0;
    }
    std::string* file = logs_file(fd);
    if (!file) return -1;
    file->append(data, len);
    return 0;
}

long logs_read_at(int fd, char* buf, std::size_t len, off_t offset) {
    const std::string* file = logs_file(fd);
    if (!file) return -1;
    const auto at = static_cast<std::size_t>(offset);
    if (at >= file->size()) return 0;
    const std::size_t n = std::min(len, file->size() - at);
    std::memcpy(buf, file->data() + at, n);
    return static_cast<long>(n);
}

long logs_copy(int from_fd, off_t from, int to_fd, std::size_t len) {
    if (fake_logs::copy_error != 0) {
        errno = fake_logs::copy_error;
        return -1;
    }
    const std::string* source = logs_file(from_fd);
    std::string* target = logs_file(to_fd);
    if (!source || !target) return -1;
    const auto at = std::min(static_cast<std::size_t>(from), source->size());
    const std::string piece = source->substr(at, len);
    target->append(piece);
    return static_cast<long>(piece.size());
}

int logs_truncate(int fd) {
    std::string* file = logs_file(fd);
    if (!file) return -1;
    file->clear();
    return 0;
}

int fake_kill_by_name(const char* const* names, std::size_t count, kill_output output) {
    if (count == 0) return 0;  // no run at all
    for (std::size_t i = 0; i < count; ++i) fake_system::killed_by_name.emplace_back(names[i]);
    fake_system::kill_outputs.push_back(output);
    return fake_system::kill_by_name_error;
}

int fake_child_ended(pid_t pid, int* status) {
    fake_system::peeked.push_back(pid);
    const auto found = fake_system::ended.find(pid);
    if (found == fake_system::ended.end()) return 0;
    *status = found->second;
    return 1;
}

long fake_read_file(const char* path, char* buf, std::size_t cap) {
    fake_system::file_read = path;
    if (!fake_system::file_present) {
        errno = ENOENT;
        return -1;
    }
    const std::size_t n = std::min(cap, fake_system::file_text.size());
    std::memcpy(buf, fake_system::file_text.data(), n);
    return static_cast<long>(n);
}

// Hands text out in pieces of at most fake_system::piece_size bytes.
int hand_out_pieces(const std::string& text, char* buf, std::size_t cap,
                    bool (*take)(void*, const char*, std::size_t), void* context) {
    const std::size_t size = std::min(cap, fake_system::piece_size);
    for (std::size_t at = 0; at < text.size() && size > 0;) {
        const std::size_t n = std::min(size, text.size() - at);
        std::memcpy(buf, text.data() + at, n);
        fake_system::piece_bytes += n;
        at += n;
        if (!take(context, buf, n)) break;
    }
    return 0;
}

int fake_read_file_pieces(const char* path, char* buf, std::size_t cap,
                          bool (*take)(void*, const char*, std::size_t), void* context) {
    fake_system::file_read = path;
    if (!fake_system::file_present) {
        errno = ENOENT;
        return -1;
    }
    return hand_out_pieces(fake_system::file_text, buf, cap, take, context);
}

bool fake_path_exists(const char* path) {
    fake_system::looked_at.emplace_back(path);
    for (const std::string& p : fake_system::existing)
        if (p == path) return true;
    return false;
}

int fake_rename(const char* from, const char* to) {
    fake_system::renamed.emplace_back(std::string(from) + " -> " + to);
    return 0;
}

int fake_replace_file(const char* path, const char* data, std::size_t len, std::time_t stamp) {
    if (fake_system::replace_error != 0 &&
        (fake_system::failing_path.empty() || fake_system::failing_path == path)) {
        errno = fake_system::replace_error;
        return -1;
    }
    fake_system::replaced.emplace_back(std::string(path) + "@" + std::to_string(stamp));
    fake_system::replaced_text.assign(data, len);
    return 0;
}

int fake_stamp_file(const char* path, std::time_t stamp) {
    if (fake_system::stamp_error != 0) {
        errno = fake_system::stamp_error;
        return -1;
    }
    fake_system::stamped.emplace_back(std::string(path) + "@" + std::to_string(stamp));
    return 0;
}

int fake_remove_file(const char* path) {
    fake_system::removed.emplace_back(path);
    return 0;
}

int fake_accept(int, pid_t* pid, uid_t* uid) {
    static int next = fake_system::client_base;
    if (fake_system::clients.empty()) {
        errno = EAGAIN;
        return -1;
    }
    if (fake_system::requests.empty()) next = fake_system::client_base;
    const int fd = next++;
    *pid = 4242;
    *uid = fake_system::clients.front().uid;
    fake_system::requests[fd] = fake_system::clients.front().request;
    fake_system::clients.pop_front();
    return fd;
}

long fake_read_some(int fd, char* buf, std::size_t len) {
    if (fd == fake_system::report_fd) return 0;
    std::string& left = fake_system::requests[fd];
    if (left.empty()) {
        errno = EAGAIN;
        return -1;
    }
    const std::size_t n = std::min(len, left.size());
    left.copy(buf, n);
    left.erase(0, n);
    return static_cast<long>(n);
}

int fake_send_signal(pid_t pid, int signal) {
    fake_system::signals.push_back({fake_boot_ms(), pid, signal});
    return 0;
}

pid_t fake_reap_child(pid_t pid, int* status) {
    const auto found = fake_system::ended.find(pid);
    if (found == fake_system::ended.end()) return 0;
    *status = found->second;
    fake_system::ended.erase(found);
    return pid;
}

}  // namespace

namespace {

int fake_find_user(const char* name, uid_t* uid, gid_t* gid) {
    errno = EIO;
    if (fake_users::broken == name) return -1;
    const auto found = fake_users::users.find(name);
    if (found == fake_users::users.end()) return 0;
    *uid = found->second.uid;
    *gid = found->second.gid;
    return 1;
}

int fake_find_user_id(uid_t uid, char* name, std::size_t cap, gid_t* gid) {
    for (const auto& [user, entry] : fake_users::users)
        if (entry.uid == uid && user.size() < cap) {
            std::memcpy(name, user.c_str(), user.size() + 1);
            *gid = entry.gid;
            return 1;
        }
    return 0;
}

int fake_find_group(const char* name, gid_t* gid) {
    const auto found = fake_users::groups.find(name);
    if (found == fake_users::groups.end()) return 0;
    *gid = found->second;
    return 1;
}

int fake_find_user_home(const char* name, char* home, std::size_t cap) {
    const auto found = fake_users::users.find(name);
    if (found == fake_users::users.end()) return 0;
    if (found->second.home.size() >= cap) return errno = ENAMETOOLONG, -1;
    std::memcpy(home, found->second.home.c_str(), found->second.home.size() + 1);
    return 1;
}

int fake_find_group_id(gid_t gid) {
    for (const auto& [name, id] : fake_users::groups)
        if (id == gid) return 1;
    return 0;
}

long fake_user_groups(const char* name, gid_t primary, gid_t* groups, std::size_t cap) {
    std::vector<gid_t> list{primary};
    for (const gid_t id : fake_users::users[name].groups)
        if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
    std::copy_n(list.begin(), std::min(cap, list.size()), groups);
    return static_cast<long>(list.size());
}

}  // namespace

system_ops fake_system::ops() {
    system_ops ops = real_system_ops;  // stat and access(X_OK) look at real files
    ops.fork_process = fake_fork;
    ops.reap_any = fake_reap;
    ops.child_ended = fake_child_ended;
    ops.kill_process = fake_kill;
    ops.open_exec_report = [](int fds[2]) {
        fds[0] = fake_system::report_fd;
        fds[1] = fake_system::report_fd + 1;
        return 0;
    };
    ops.open_process_handle = fake_open_handle;
    ops.handle_ended = fake_handle_ended;
    ops.wait_for = fake_wait_for;
    ops.open_null_device = fake_open_null;
    ops.redirect_output = fake_redirect;
    ops.close_descriptor = fake_close;
    ops.kill_by_name = fake_kill_by_name;
    ops.read_file = fake_read_file;
    ops.path_exists = fake_path_exists;
    ops.rename_path = fake_rename;
    ops.open_standard_descriptors = [] { ++fake_system::standard_descriptor_calls; };
    ops.close_inherited_on_exec = [] {};
    ops.now = [] { return fake_system::clock; };
    ops.boot_seconds = [] { return static_cast<std::time_t>(fake_boot_ms() / 1000); };
    ops.boot_milliseconds = fake_boot_ms;
    ops.replace_file = fake_replace_file;
    ops.stamp_file = fake_stamp_file;
    ops.remove_file = fake_remove_file;
    ops.read_file_pieces = fake_read_file_pieces;
    ops.open_directory = logs_open_directory;
    ops.lstat_path = logs_lstat;
    ops.open_log = logs_open;
    ops.open_read_at = logs_open_read;
    ops.create_file_at = logs_create;
    ops.rename_at = logs_rename;
    ops.remove_at = logs_remove;
    ops.stat_descriptor = logs_stat;
    ops.write_descriptor = logs_write;
    ops.read_at = logs_read_at;
    ops.copy_range = logs_copy;
    ops.open_write_watch = [] { return fake_logs_watch; };
    ops.watch_file_writes = [](int, int fd) { return fd + 1000; };
    ops.forget_file_writes = [](int, int) {};
    ops.take_write_events = [](int) { return std::exchange(fake_logs::write_noted, false); };
    ops.truncate_descriptor = logs_truncate;
    ops.effective_user = [] { return fake_logs::euid; };
    ops.find_user = fake_find_user;
    ops.find_user_id = fake_find_user_id;
    ops.find_user_home = fake_find_user_home;
    ops.find_group = fake_find_group;
    ops.find_group_id = fake_find_group_id;
    ops.user_groups = fake_user_groups;
    ops.accept_client = fake_accept;
    ops.read_some = fake_read_some;
    ops.send_signal = fake_send_signal;
    ops.signal_process_handle = [](int handle, int signal) {
        return fake_send_signal(handle - fake_system::handle_base, signal);
    };
    ops.fork_into_cgroup = [](int) -> pid_t { return errno = ENOSYS, -1; };
    ops.remove_directory = [](const char*) { return errno = EACCES, -1; };
    ops.list_directories = [](const char*, bool (*)(void*, const char*), void*) {
        return errno = ENOENT, -1;
    };
    ops.reap_child = fake_reap_child;
    // No process tree, no cgroup: nothing real is looked at or made.
    ops.list_processes = [](pid_t*, std::size_t) { return 0L; };
    ops.make_directory = [](const char*) { return errno = EACCES, -1; };
    ops.open_for_writing = [](const char*) { return errno = EACCES, -1; };
    return ops;
}

namespace {

// From the map when it holds anything; the path is the file's, or a link's.
long files_read(const char* path, char* buf, std::size_t cap) {
    if (fake_files::files.empty()) return fake_read_file(path, buf, cap);
    const auto found = fake_files::files.find(path);
    if (found == fake_files::files.end()) {
        errno = ENOENT;
        return -1;
    }
    const std::size_t n = std::min(cap, found->second.size());
    std::memcpy(buf, found->second.data(), n);
    return static_cast<long>(n);
}

long files_read_info(const char* path, char* buf, std::size_t cap, struct stat* info) {
    const auto found = fake_files::infos.find(path);
    if (found != fake_files::infos.end()) {
        *info = found->second;
    } else {
        *info = {};
        info->st_mode = S_IFREG | 0644;
        info->st_mtim.tv_sec = fake_system::boot_clock;
    }
    return files_read(path, buf, cap);
}

int files_stat(const char* path, struct stat* info) {
    int pid = 0;
    char rest = 0;
    if (std::sscanf(path, "/proc/%d%c", &pid, &rest) != 1)
        return real_system_ops.stat_path(path, info);
    if (fake_files::files.count("/proc/" + std::to_string(pid) + "/stat") == 0) {
        errno = ENOENT;
        return -1;
    }
    *info = {};
    info->st_mode = S_IFDIR | 0555;
    const auto owner = fake_files::owners.find(pid);
    info->st_uid = owner == fake_files::owners.end() ? 0 : owner->second;
    return 0;
}

int files_read_pieces(const char* path, char* buf, std::size_t cap,
                      bool (*take)(void*, const char*, std::size_t), void* context) {
    if (fake_files::files.empty()) return fake_read_file_pieces(path, buf, cap, take, context);
    const auto found = fake_files::files.find(path);
    if (found == fake_files::files.end()) {
        errno = ENOENT;
        return -1;
    }
    return hand_out_pieces(found->second, buf, cap, take, context);
}

long files_read_link(const char* path, char* buf, std::size_t cap) {
    const long n = fake_files::files.empty() ? -1 : files_read(path, buf, cap - 1);
    if (n >= 0) buf[n] = '\0';
    return n;
}

int files_lstat(const char* path, struct stat* info) {
    const auto found = fake_files::infos.find(path);
    if (found != fake_files::infos.end()) {
        *info = found->second;
        return 0;
    }
    *info = {};
    info->st_mode = S_IFDIR | 0755;
    return 0;
}

int files_open_directory(const char* path, struct stat* info) {
    files_lstat(path, info);
    if (!S_ISDIR(info->st_mode)) {
        errno = S_ISLNK(info->st_mode) ? ELOOP : ENOTDIR;
        return -1;
    }
    const int fd = 60 + static_cast<int>(fake_files::dirs.size());
    fake_files::dirs[fd] = std::string(path) + "/";
    return fd;
}

// The last cap bytes, with the info of read_file_info.
long files_read_tail(const char* path, char* buf, std::size_t cap, struct stat* info) {
    const auto found = fake_files::files.find(path);
    if (found == fake_files::files.end()) {
        errno = ENOENT;
        return -1;
    }
    std::array<char, 1> unused{};
    files_read_info(path, unused.data(), 0, info);
    const std::string& text = found->second;
    if (!S_ISREG(info->st_mode)) return 0;
    info->st_size = static_cast<off_t>(text.size());
    const std::size_t n = std::min(cap, text.size());
    std::memcpy(buf, text.data() + text.size() - n, n);
    return static_cast<long>(n);
}

long files_read_tail_at(int dir_fd, const char* name, char* buf, std::size_t cap,
                        struct stat* info) {
    return files_read_tail((fake_files::dirs[dir_fd] + name).c_str(), buf, cap, info);
}

long files_list(pid_t* pids, std::size_t cap) {
    const std::size_t n = std::min(cap, fake_files::pids.size());
    std::copy_n(fake_files::pids.begin(), n, pids);
    return static_cast<long>(n);
}

}  // namespace

void fake_files::install() {
    sys.read_file = files_read;
    sys.read_file_info = files_read_info;
    sys.stat_path = files_stat;
    sys.read_link = files_read_link;
    sys.read_file_pieces = files_read_pieces;
    sys.list_processes = files_list;
    sys.read_tail_at = files_read_tail_at;
    sys.open_existing_directory = files_open_directory;
    sys.lstat_path = files_lstat;
    sys.files_written_by = [](pid_t pid, const file_identity* files, std::size_t count) {
        const auto found = fake_files::writers.find(pid);
        unsigned long bits = 0;
        for (std::size_t i = 0; found != fake_files::writers.end() && i < count; ++i)
            if (files[i].inode == found->second) bits |= 1UL << i;
        return bits;
    };
}

void fake_files::add_process(pid_t pid, const std::string& comm, const std::string& cmdline,
                             pid_t parent, const std::string& exe, char state,
                             unsigned long long start_ticks) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    files[dir + "comm"] = comm + "\n";
    files[dir + "cmdline"] = cmdline;
    // Fields 3 to 22 as the kernel writes them: state, parent, ..., start time.
    files[dir + "stat"] = std::to_string(pid) + " (" + comm + ") " + state + " " +
                          std::to_string(parent) + " 1 1 0 -1 4194560 100 0 0 0 2 3 0 0 20 0 1 0 " +
                          std::to_string(start_ticks) + " 1000 200";
    if (!exe.empty()) files[dir + "exe"] = exe;
    pids.push_back(pid);
}

namespace {

bool cgroup_busy(const std::string& dir) {
    const auto procs = fake_files::files.find(dir + "/cgroup.procs");
    const auto below = fake_cgroups::dirs.lower_bound(dir + "/");
    return (procs != fake_files::files.end() && !procs->second.empty()) ||
           (below != fake_cgroups::dirs.end() && below->rfind(dir + "/", 0) == 0);
}

int cgroups_mkdir(const char* path) {
    if (!fake_cgroups::dirs.insert(path).second) return errno = EEXIST, -1;
    fake_cgroups::made.emplace_back(path);
    fake_files::files[std::string(path) + "/cgroup.procs"] = "";
    return 0;
}

int cgroups_rmdir(const char* path) {
    if (fake_cgroups::dirs.count(path) == 0) return errno = ENOENT, -1;
    if (cgroup_busy(path)) return errno = EBUSY, -1;
    fake_cgroups::dirs.erase(path);
    fake_cgroups::removed.emplace_back(path);
    return 0;
}

int cgroups_list(const char* path, bool (*take)(void*, const char*), void* context) {
    if (fake_cgroups::dirs.count(path) == 0) return errno = ENOENT, -1;
    const std::string prefix = std::string(path) + "/";
    std::vector<std::string> names;
    for (const std::string& d : fake_cgroups::dirs)
        if (d.rfind(prefix, 0) == 0 && d.find('/', prefix.size()) == std::string::npos)
            names.push_back(d.substr(prefix.size()));
    for (const std::string& name : names)
        if (!take(context, name.c_str())) break;
    return 0;
}

int cgroups_lstat(const char* path, struct stat* info) {
    const auto found = fake_files::infos.find(path);
    if (found == fake_files::infos.end() && fake_cgroups::dirs.count(path) == 0)
        return errno = ENOENT, -1;
    *info = found != fake_files::infos.end() ? found->second : (struct stat){};
    if (found == fake_files::infos.end()) info->st_mode = S_IFDIR | 0755;
    return 0;
}

// A descriptor of a cgroup, or of a file in one.
int cgroups_open(const std::string& path, const std::string& dir) {
    if (fake_cgroups::dirs.count(dir) == 0) return errno = ENOENT, -1;
    const int fd = 700 + static_cast<int>(fake_cgroups::open.size());
    fake_cgroups::open[fd] = path;
    return fd;
}

int cgroups_write(int fd, const char* data, std::size_t len) {
    const auto found = fake_cgroups::open.find(fd);
    if (found == fake_cgroups::open.end()) return logs_write(fd, data, len);
    fake_cgroups::written.push_back(found->second + " <- " + std::string(data, len));
    return 0;
}

}  // namespace

void fake_cgroups::install() {
    fake_files::files["/proc/self/mountinfo"] = "41 31 0:38 / /cg rw - cgroup2 cgroup2 rw\n";
    fake_files::files["/proc/self/cgroup"] = "0::/sup\n";
    dirs.insert("/cg/sup");
    sys.make_directory = cgroups_mkdir;
    sys.remove_directory = cgroups_rmdir;
    sys.list_directories = cgroups_list;
    sys.lstat_path = cgroups_lstat;
    sys.open_existing_directory = [](const char* path, struct stat*) {
        return cgroups_open(path, path);
    };
    sys.open_for_writing = [](const char* path) {
        const std::string file = path;
        return cgroups_open(file, file.substr(0, file.rfind('/')));
    };
    sys.write_descriptor = cgroups_write;
    sys.fork_into_cgroup = [](int fd) -> pid_t {
        clone_fds.push_back(fd);
        if (clone_error != 0) return errno = clone_error, -1;
        fake_system::forked.push_back(fake_system::next_pid);
        return fake_system::next_pid++;
    };
}

void fake_cgroups::join(pid_t pid, const std::string& dir) {
    fake_files::files["/proc/" + std::to_string(pid) + "/cgroup"] = "0::" + dir.substr(3) + "\n";
    fake_files::files[dir + "/cgroup.procs"] += std::to_string(pid) + "\n";
}

}  // namespace vorn::testing
