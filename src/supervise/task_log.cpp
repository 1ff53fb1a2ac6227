// Each task's own log and the supervisor's lines in it (see task_log.hpp).
#include "supervise/task_log.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/wait.h>

#include "base/log_trust.hpp"
#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/published_file.hpp"

namespace vorn {

log_directory_state task_logs{};

namespace {

// "<name>.log.1.new" and shorter names of a slot's files.
using file_name = std::array<char, task_name_size + 16>;

// Copies go through this buffer: rotation needs no memory of its own,
// however large the bound.
std::array<char, 16384> copy_buffer{};

void close_fd(int& fd) {
    if (fd < 0) return;
    sys.close_descriptor(fd);
    fd = -1;
}

void name_file(file_name& name, std::size_t slot, const char* suffix) {
    format_text(name.data(), name.size(), "%s%s", task_table[slot].task_name.data(), suffix);
}

// "2026-12-08T06:48:08Z": UTC, so that logs of devices in any time zone
// read alike.
void format_time(char* buf, std::size_t size) {
    const std::time_t now = sys.now();
    std::tm parts{};
    if (!::gmtime_r(&now, &parts) || std::strftime(buf, size, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        copy_text(buf, size, "0000-00-00T00:00:00Z");
}

// The supervisor trusts only what is its own.
log_owners own_user() { return {{sys.effective_user(), 0, 0}, 1}; }

// Why a file opened as a slot's log may not be written to, or nullptr.
const char* unfit_log(const struct stat& info) {
    const log_fault fault = log_file_fault(info, own_user());
    return fault == log_fault::none ? nullptr : log_fault_text(fault);
}

// text put into buf from used on, while used < limit, a control byte shown
// as '?': each of the supervisor's lines stays one line, whatever a name or
// an argument holds.  Where the text ends in buf.
std::size_t put_shown(char* buf, std::size_t limit, std::size_t used, const char* text) {
    for (; *text && used < limit; ++text)
        buf[used++] = static_cast<unsigned char>(*text) < 0x20 || *text == 0x7f ? '?' : *text;
    return used;
}

template <std::size_t N>
std::array<char, N> shown_text(const char* text) {
    std::array<char, N> shown{};
    put_shown(shown.data(), N - 1, 0, text);
    return shown;
}

// The slot's task name as the supervisor's lines show it.
std::array<char, task_name_size> shown_name(std::size_t slot) {
    return shown_text<task_name_size>(task_table[slot].task_name.data());
}

// The slot's log, opened for appending and checked; -1 (said once per run
// of failures) when it cannot be used.
int open_checked(std::size_t slot) {
    task_log_state& state = task_logs.slots[slot];
    file_name name{};
    name_file(name, slot, ".log");
    struct stat info {};
    const int fd = sys.open_log(task_logs.fd, name.data(), &info);
    const char* why = nullptr;
    if (fd < 0)
        why = errno == ELOOP ? "it is a symbolic link" : error_text(errno);
    else
        why = unfit_log(info);
    if (!why) {
        state.open_failure_told = false;
        return fd;
    }
    if (fd >= 0) sys.close_descriptor(fd);
    if (!state.open_failure_told)
        complain("cannot use the log %s%s: %s; the output of %s is not kept", log_path.data(),
                 shown_text<sizeof name>(name.data()).data(), why, shown_name(slot).data());
    state.open_failure_told = true;
    return -1;
}

// One line of the supervisor's own: "<time> vorn_restart: <what>\n".
void write_line(int fd, const char* what) {
    std::array<char, 64> time{};
    format_time(time.data(), time.size());
    std::array<char, 1024> line{};
    format_text(line.data(), line.size(), "%s vorn_restart: %s\n", time.data(), what);
    // A full or read-only file system fails this as it fails the task's
    // own writes; there is nobody to tell that a line is missing.
    sys.write_descriptor(fd, line.data(), std::strlen(line.data()));
}

// The end line, then the log is closed: the child will not write again.
void write_end(std::size_t slot, const char* what) {
    int& fd = task_logs.slots[slot].fd;
    if (fd < 0) return;
    std::array<char, 256> text{};
    format_text(text.data(), text.size(), "%s (pid %d) %s", shown_name(slot).data(),
                static_cast<int>(task_table[slot].task_pid), what);
    write_line(fd, text.data());
    close_fd(fd);
}

// Reads into copy_buffer what of bytes [at, size) behind fd fits it.
long read_piece(int fd, off_t at, off_t size) {
    const auto room = static_cast<off_t>(copy_buffer.size());
    const auto want = static_cast<std::size_t>(size - at < room ? size - at : room);
    return sys.read_at(fd, copy_buffer.data(), want, at);
}

// The offset of the first whole line among the newest log_size bytes of
// the size bytes behind fd: the newest bytes as they are when no line ends
// among them.
off_t first_kept(int fd, off_t size) {
    const off_t bound = static_cast<off_t>(log_size);
    if (size <= bound) return 0;
    const off_t from = size - bound;
    // The byte before `from` ends a line: `from` starts one.
    for (off_t at = from - 1; at < size;) {
        const long n = read_piece(fd, at, size);
        if (n <= 0) break;
        const void* end = std::memchr(copy_buffer.data(), '\n', static_cast<std::size_t>(n));
        if (end) {
            const off_t start = at + (static_cast<const char*>(end) - copy_buffer.data()) + 1;
            return start < size ? start : from;
        }
        at += n;
    }
    return from;
}

// Copies bytes [start, size) behind from_fd into a new file made in the
// directory and renamed to <name>.log.1.  0, or the error number.
int copy_to_older(std::size_t slot, int from_fd, off_t start, off_t size) {
    file_name fresh{}, older{};
    name_file(fresh, slot, ".log.1.new");
    name_file(older, slot, ".log.1");
    // Left behind by a supervisor that ended in the middle of a copy.
    sys.remove_at(task_logs.fd, fresh.data());
    // The older generation goes first: while the new one is written, the
    // two files together never hold more than the log and one bound.
    sys.remove_at(task_logs.fd, older.data());
    int to_fd = sys.create_file_at(task_logs.fd, fresh.data());
    if (to_fd < 0) return errno;
    int error = 0;
    for (off_t at = start; at < size && error == 0;) {
        const long n = read_piece(from_fd, at, size);
        if (n < 0) error = errno;
        if (n <= 0) break;  // the file became shorter meanwhile: what was read is kept
        if (sys.write_descriptor(to_fd, copy_buffer.data(), static_cast<std::size_t>(n)) != 0)
            error = errno;
        at += n;
    }
    close_fd(to_fd);
    if (error == 0 && sys.rename_at(task_logs.fd, fresh.data(), older.data()) != 0) error = errno;
    if (error != 0) sys.remove_at(task_logs.fd, fresh.data());
    return error;
}

// The log behind the slot's descriptor is past the bound: its newest lines
// become the older generation and it starts again empty.  The newest lines
// are read through the name only when the name still leads to the same file.
void rotate(std::size_t slot, const struct stat& info) {
    task_log_state& state = task_logs.slots[slot];
    file_name name{};
    name_file(name, slot, ".log");
    int error = 0;
    struct stat named {};
    int read_fd = sys.open_read_at(task_logs.fd, name.data(), &named);
    if (read_fd < 0)
        error = errno;
    else if (named.st_dev != info.st_dev || named.st_ino != info.st_ino)
        error = ENOENT;  // moved or removed by someone: there is nothing to read it through
    else
        error = copy_to_older(slot, read_fd, first_kept(read_fd, info.st_size), info.st_size);
    close_fd(read_fd);
    // Emptied even when the copy failed: the bound holds whatever happens,
    // and a full file system gets its space back.
    if (sys.truncate_descriptor(state.fd) != 0) {
        if (!state.rotate_failure_told)
            complain("cannot empty the log %s%s: %s; it grows past %lu bytes", log_path.data(),
                     name.data(), error_text(errno), log_size);
        state.rotate_failure_told = true;
        return;
    }
    if (error == 0) {
        state.rotate_failure_told = false;
        return;
    }
    if (!state.rotate_failure_told)
        complain("cannot keep the older lines of the log %s%s: %s; it starts again empty",
                 log_path.data(), name.data(), error_text(error));
    state.rotate_failure_told = true;
}

}  // namespace

void reset_task_logs() {
    task_logs = log_directory_state{};
    task_logs.fd = -1;
    for (task_log_state& slot : task_logs.slots) slot.fd = -1;
}

bool logs_in_use() { return task_logs.fd >= 0 && task_logs.problem[0] == '\0'; }

namespace {

// Why the directory info tells of (fstat of it, or lstat of its path) may
// not hold logs of user's, into why; "" when it may.
void describe_directory(std::array<char, log_problem_size>& why, const struct stat& info,
                        uid_t user) {
    why[0] = '\0';
    const log_fault fault = log_directory_fault(info, {{user, 0, 0}, 1});
    if (fault == log_fault::none) return;
    if (fault == log_fault::other_owner)
        format_text(why.data(), why.size(), "it belongs to uid %u, not to uid %u",
                    static_cast<unsigned>(info.st_uid), static_cast<unsigned>(user));
    else if (fault == log_fault::group_writable || fault == log_fault::others_writable)
        format_text(why.data(), why.size(), "group or others can write to it (mode %04o)",
                    static_cast<unsigned>(info.st_mode & 07777));
    else
        copy_text(why, log_fault_text(fault));
}

// The directory can no longer be used for why: said once per run of
// failures, and the status file's log_problem while it lasts.
void refuse_directory(const char* why) {
    format_text(task_logs.problem.data(), task_logs.problem.size(), "%s: %s", task_logs.path.data(),
                why);
    if (!task_logs.refusal_told)
        complain("cannot use the log directory %s; the tasks' output is not kept",
                 task_logs.problem.data());
    task_logs.refusal_told = true;
}

// Opens and checks the directory at task_logs.path: it replaces the one
// held when it can be used.  Tried again status_retry_seconds later.
void open_log_directory() {
    task_logs.retry_at = sys.boot_seconds() + status_retry_seconds;
    task_logs.user = sys.effective_user();
    struct stat info {};
    const int fd = sys.open_directory(task_logs.path.data(), &info);
    const int error = errno;
    std::array<char, log_problem_size> why{};
    // O_NOFOLLOW with O_DIRECTORY answers a link with ELOOP or ENOTDIR:
    // what the path itself is tells which.
    if (fd < 0 && (error == ELOOP || error == ENOTDIR) &&
        sys.lstat_path(task_logs.path.data(), &info) == 0)
        describe_directory(why, info, task_logs.user);
    if (fd < 0 && why[0] == '\0')
        copy_text(why, error == ENOTDIR ? "it is not a directory" : error_text(error));
    else if (fd >= 0)
        describe_directory(why, info, task_logs.user);
    if (why[0] != '\0') {
        if (fd >= 0) sys.close_descriptor(fd);
        refuse_directory(why.data());
        return;
    }
    // The one held until now still has the logs of running tasks in it.
    close_fd(task_logs.fd);
    task_logs.fd = fd;
    task_logs.dev = info.st_dev;
    task_logs.ino = info.st_ino;
    task_logs.problem[0] = '\0';
    task_logs.refusal_told = false;
}

}  // namespace

void begin_log_turn() {
    for (task_log_state& slot : task_logs.slots) close_fd(slot.fd);
    close_fd(task_logs.fd);
    task_logs.problem[0] = '\0';
    if (log_path[0] == '\0') return;
    // Without its final '/': a trailing slash would have a link followed.
    copy_text(task_logs.path, log_path.data());
    const std::size_t length = std::strlen(task_logs.path.data());
    if (length > 1) task_logs.path[length - 1] = '\0';
    open_log_directory();
}

bool check_log_directory() {
    if (log_path[0] == '\0') return false;
    const std::array<char, log_problem_size> before = task_logs.problem;
    if (logs_in_use()) {
        struct stat now {};
        std::array<char, log_problem_size> why{};
        if (sys.lstat_path(task_logs.path.data(), &now) != 0)
            copy_text(why, errno == ENOENT ? "it was removed" : error_text(errno));
        else if (now.st_dev != task_logs.dev || now.st_ino != task_logs.ino)
            copy_text(why, "it was replaced by another");
        else
            describe_directory(why, now, task_logs.user);
        if (why[0] == '\0') return false;
        // Said at each loss (the directory worked since the last one), and
        // tried again at once: a directory made anew is used from now on.
        complain("the log directory %s: %s; opening it again", task_logs.path.data(), why.data());
        format_text(task_logs.problem.data(), task_logs.problem.size(), "%s: %s",
                    task_logs.path.data(), why.data());
        open_log_directory();
    } else if (sys.boot_seconds() >= task_logs.retry_at) {
        open_log_directory();
    }
    return std::strcmp(before.data(), task_logs.problem.data()) != 0;
}

bool format_log_path(char* buf, std::size_t size, const char* name) {
    return logs_in_use() && format_text(buf, size, "%s%s.log", log_path.data(), name);
}

void open_task_log(std::size_t slot, const char* const* argv, child_log& log) {
    log.fd = -1;
    if (!logs_in_use()) return;
    log.fd = open_checked(slot);
    if (log.fd < 0) return;
    std::array<char, 64> time{};
    format_time(time.data(), time.size());
    format_text(log.head.data(), log.head.size(), "%s vorn_restart: started %s (pid ", time.data(),
                shown_name(slot).data());
    // The command line on one line, room kept for its newline.
    const std::size_t limit = log.tail.size() - 2;
    std::size_t used = put_shown(log.tail.data(), limit, 0, "):");
    for (const char* const* word = argv; *word; ++word) {
        used = put_shown(log.tail.data(), limit, used, " ");
        used = put_shown(log.tail.data(), limit, used, *word);
    }
    log.tail[used++] = '\n';
    log.tail[used] = '\0';
}

void task_log_started(std::size_t slot, const child_log& log, pid_t pid) {
    if (log.fd < 0) return;
    if (pid < 0) {
        sys.close_descriptor(log.fd);
        return;
    }
    close_fd(task_logs.slots[slot].fd);
    task_logs.slots[slot].fd = log.fd;
}

void log_task_ended(std::size_t slot, int wait_status) {
    std::array<char, 64> what{};
    if (WIFSIGNALED(wait_status))
        format_text(what.data(), what.size(), "killed by signal %d", WTERMSIG(wait_status));
    else
        format_text(what.data(), what.size(), "ended with code %d", WEXITSTATUS(wait_status));
    write_end(slot, what.data());
}

void log_task_killed(std::size_t slot, int updater_code) {
    std::array<char, 64> what{};
    format_text(what.data(), what.size(), "killed: the updater ended with %d", updater_code);
    write_end(slot, what.data());
}

void log_task_held(std::size_t slot, const char* marker) {
    if (!logs_in_use()) return;
    int fd = open_checked(slot);
    if (fd < 0) return;
    std::array<char, 768> what{};
    format_text(what.data(), what.size(), "%s held back by %s", shown_name(slot).data(),
                shown_text<512>(marker).data());
    write_line(fd, what.data());
    close_fd(fd);
}

void rotate_task_logs() {
    if (task_logs.fd < 0) return;
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const int fd = task_logs.slots[i].fd;
        if (fd < 0) continue;
        struct stat info {};
        if (sys.stat_descriptor(fd, &info) != 0) continue;
        if (info.st_size > static_cast<off_t>(log_size)) rotate(i, info);
    }
}

}  // namespace vorn
