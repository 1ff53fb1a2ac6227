// Each task's own log and the supervisor's lines in it (see task_log.hpp).
#include "supervise/task_log.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/wait.h>

#include "base/log_trust.hpp"
#include "base/messages.hpp"
#include "base/platform.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/pace.hpp"
#include "supervise/published_file.hpp"

namespace vorn {

log_directory_state task_logs{};

namespace {

// "<name>.log.1.new" and shorter names of a slot's files.
using file_name = std::array<char, task_name_size + 16>;

// Copies go through this buffer: rotation needs no memory of its own,
// however large the bound.
alignas(rarely_used) std::array<char, 16384> copy_buffer{};

void close_fd(int& fd) {
    if (fd < 0) return;
    sys.close_descriptor(fd);
    fd = -1;
}

void name_file(file_name& name, const char* task, const char* suffix) {
    format_text(name.data(), name.size(), "%s%s", task, suffix);
}

// "2026-12-08T06:48:08Z": UTC, so that logs of devices in any time zone
// read alike.
// Formatted by hand: strftime would bring the C library's time zone code
// into the smallest builds for nothing.
void format_time(char* buf, std::size_t size) {
    const std::time_t now = sys.now();
    std::tm parts{};
    if (!::gmtime_r(&now, &parts) ||
        !format_text(buf, size, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                     parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec))
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

// The slot's log, opened for appending and checked, with what fstat tells
// of it in info; -1 (said once per run of failures) when it cannot be used.
int open_checked(std::size_t slot, struct stat& info) {
    task_log_state& state = task_logs.slots[slot];
    file_name name{};
    name_file(name, task_table[slot].task_name.data(), ".log");
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

// The end line.  The log stays watched: what the child left running may
// still write to it.
void write_end(std::size_t slot, const char* what) {
    int& fd = task_logs.slots[slot].fd;
    if (fd < 0) return;
    std::array<char, 256> text{};
    format_text(text.data(), text.size(), "%s (pid %d) %s", shown_name(slot).data(),
                static_cast<int>(task_table[slot].task_pid), what);
    write_line(fd, text.data());
    fd = -1;
}

// Whether a slot's running child writes to the watched descriptor.
bool borrowed(int fd) {
    for (const task_log_state& slot : task_logs.slots)
        if (slot.fd == fd) return true;
    return false;
}

// The place for the log of the task `name`: its own, a free one, or the
// one quiet the longest that no running child writes to.
std::size_t place_for(const char* name) {
    std::size_t chosen = watched_log_count;
    for (std::size_t i = 0; i < task_logs.watched_used; ++i) {
        const watched_log& w = task_logs.watched[i];
        if (w.fd >= 0 && std::strcmp(w.name.data(), name) == 0) return i;
        if (w.fd < 0 && chosen == watched_log_count) chosen = i;
    }
    if (chosen != watched_log_count) return chosen;
    if (task_logs.watched_used < watched_log_count) {
        task_logs.watched[task_logs.watched_used].fd = -1;  // a place never used
        return task_logs.watched_used++;
    }
    chosen = 0;
    for (std::size_t i = 0; i < watched_log_count; ++i) {
        const watched_log& w = task_logs.watched[i];
        const watched_log& c = task_logs.watched[chosen];
        if (!borrowed(w.fd) && (borrowed(c.fd) || w.quiet_looks > c.quiet_looks)) chosen = i;
    }
    return chosen;
}

// Watches the log of the task `name` through fd from now on, in place of
// the descriptor it was watched through until now.  Returns fd.
int watch_log(const char* name, int fd, const struct stat& info) {
    if (!task_logs.notify_tried) {
        task_logs.notify_tried = true;
        task_logs.notify_fd = sys.open_write_watch();  // without it, looks come at passes alone
    }
    watched_log& w = task_logs.watched[place_for(name)];
    if (w.fd >= 0) {
        for (task_log_state& slot : task_logs.slots)
            if (slot.fd == w.fd) slot.fd = fd;
        if (w.watch >= 0) sys.forget_file_writes(task_logs.notify_fd, w.watch);
        sys.close_descriptor(w.fd);
    }
    const bool told = w.fd >= 0 && std::strcmp(w.name.data(), name) == 0 && w.rotate_failure_told;
    w = watched_log{};
    w.fd = fd;
    copy_text(w.name, name);
    w.device = info.st_dev;
    w.inode = info.st_ino;
    w.size = info.st_size;
    w.rotate_failure_told = told;
    w.watch = task_logs.notify_fd >= 0 ? sys.watch_file_writes(task_logs.notify_fd, fd) : -1;
    return fd;
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

// Copies bytes [start, size) of from_fd to to_fd, within the kernel when
// it can, else through copy_buffer.  0, or the error number.
int copy_bytes(int from_fd, int to_fd, off_t start, off_t size) {
    const long copied =
        sys.copy_range(from_fd, start, to_fd, static_cast<std::size_t>(size - start));
    if (copied >= 0) return 0;  // shorter: the file became shorter meanwhile
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return errno;
    int error = 0;
    for (off_t at = start; at < size && error == 0;) {
        const long n = read_piece(from_fd, at, size);
        if (n < 0) error = errno;
        if (n <= 0) break;  // the file became shorter meanwhile: what was read is kept
        if (sys.write_descriptor(to_fd, copy_buffer.data(), static_cast<std::size_t>(n)) != 0)
            error = errno;
        at += n;
    }
    return error;
}

// Copies bytes [start, size) behind from_fd into a new file made in the
// directory and renamed to <name>.log.1.  0, or the error number.
int copy_to_older(const char* task, int from_fd, off_t start, off_t size) {
    file_name fresh{}, older{};
    name_file(fresh, task, ".log.1.new");
    name_file(older, task, ".log.1");
    // Left behind by a supervisor that ended in the middle of a copy.
    sys.remove_at(task_logs.fd, fresh.data());
    // The older generation goes first: while the new one is written, the
    // two files together never hold more than the log and one bound.
    sys.remove_at(task_logs.fd, older.data());
    int to_fd = sys.create_file_at(task_logs.fd, fresh.data());
    if (to_fd < 0) return errno;
    int error = copy_bytes(from_fd, to_fd, start, size);
    close_fd(to_fd);
    if (error == 0 && sys.rename_at(task_logs.fd, fresh.data(), older.data()) != 0) error = errno;
    if (error != 0) sys.remove_at(task_logs.fd, fresh.data());
    return error;
}

// The watched log is past the bound: its newest lines become the older
// generation and it starts again empty.  The newest lines are read through
// the name only when the name still leads to the same file.
void rotate(watched_log& state, const struct stat& info) {
    file_name name{};
    name_file(name, state.name.data(), ".log");
    int error = 0;
    struct stat named {};
    int read_fd = sys.open_read_at(task_logs.fd, name.data(), &named);
    if (read_fd < 0)
        error = errno;
    else if (named.st_dev != info.st_dev || named.st_ino != info.st_ino)
        error = ENOENT;  // moved or removed by someone: there is nothing to read it through
    else
        error = copy_to_older(state.name.data(), read_fd, first_kept(read_fd, info.st_size),
                              info.st_size);
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

// After a look: the next one comes after the time in which the fastest
// log, growing as it grew during the `slept` ms since the last look, would
// write one bound, but at most twice the last interval later, so that a
// writer that pauses between bursts is not left alone for a pass; at the
// pass's own time when that is a pass or more.  A look that follows the
// last one at once tells nothing of speed.
void set_look_pace(unsigned long slept, off_t fastest) {
    if (slept == 0) return;
    const unsigned long long pass_ms = pass_seconds * 1000ULL;
    unsigned long long next = fastest > 0 ? slept * static_cast<unsigned long long>(log_size) /
                                                static_cast<unsigned long long>(fastest)
                                          : pass_ms;
    if (task_logs.look_ms != 0 && next > 2ULL * task_logs.look_ms) next = 2ULL * task_logs.look_ms;
    if (next >= pass_ms)
        task_logs.look_ms = 0;
    else
        task_logs.look_ms = static_cast<unsigned>(next < min_log_look_ms ? min_log_look_ms : next);
}

}  // namespace

// Field by field: the watched places beyond watched_used are not touched.
void reset_task_logs() {
    task_logs.fd = -1;
    task_logs.dev = 0;
    task_logs.ino = 0;
    task_logs.user = 0;
    task_logs.path[0] = '\0';
    task_logs.retry_at = 0;
    task_logs.refusal_told = false;
    task_logs.problem[0] = '\0';
    for (task_log_state& slot : task_logs.slots) slot = {-1, false};
    task_logs.watched_used = 0;
    task_logs.look_ms = 0;
    task_logs.looked_ms = 0;
    task_logs.notify_fd = -1;
    task_logs.notify_tried = false;
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

bool logs_watched() { return task_logs.watched_used != 0; }

void begin_log_turn() {
    for (task_log_state& slot : task_logs.slots) slot.fd = -1;
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
    log.fd = open_checked(slot, log.info);
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
    task_logs.slots[slot].fd = watch_log(task_table[slot].task_name.data(), log.fd, log.info);
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
    struct stat info {};
    const int fd = open_checked(slot, info);
    if (fd < 0) return;
    std::array<char, 768> what{};
    format_text(what.data(), what.size(), "%s held back by %s", shown_name(slot).data(),
                shown_text<512>(marker).data());
    write_line(fd, what.data());
    // What the task left running may write to it while it is held back.
    watch_log(task_table[slot].task_name.data(), fd, info);
}

void log_task_note(std::size_t slot, const char* what) {
    if (!logs_in_use()) return;
    struct stat info {};
    const int fd = open_checked(slot, info);
    if (fd < 0) return;
    std::array<char, 768> line{};
    format_text(line.data(), line.size(), "%s %s", shown_name(slot).data(),
                shown_text<640>(what).data());
    write_line(fd, line.data());
    watch_log(task_table[slot].task_name.data(), fd, info);
}

void log_task_held_down(std::size_t slot) {
    if (!logs_in_use()) return;
    struct stat info {};
    const int fd = open_checked(slot, info);
    if (fd >= 0) watch_log(task_table[slot].task_name.data(), fd, info);
}

namespace {

// Looks at the logs (all, or only those the write watch cannot see), and
// rotates each one past its bound.  The largest growth among them.
off_t look_at_logs(bool all) {
    off_t fastest = 0;
    for (std::size_t i = 0; i < task_logs.watched_used; ++i) {
        watched_log& w = task_logs.watched[i];
        struct stat info {};
        if (w.fd < 0 || (!all && w.watch >= 0) || sys.stat_descriptor(w.fd, &info) != 0) continue;
        // Emptied by someone else since: all it holds is new.
        const off_t grown = info.st_size >= w.size ? info.st_size - w.size : info.st_size;
        if (grown > fastest) fastest = grown;
        if (grown == 0 && w.quiet_looks != ~0U) ++w.quiet_looks;
        if (grown != 0) w.quiet_looks = 0;
        w.size = info.st_size;
        if (info.st_size <= static_cast<off_t>(log_size)) continue;
        rotate(w, info);
        w.size = 0;
    }
    return fastest;
}

// Whether the write watch is a source of the wait: it works, and the looks
// are not at their fastest (a writer that comes or speeds up between two
// slower looks is looked at 10 ms after the last look, not at the next).
bool watch_armed() { return task_logs.notify_fd >= 0 && task_logs.look_ms != min_log_look_ms; }

// A look at the logs (all, or only those the watch cannot see), and the
// time of the next.  The watch's events are read away first, so that a
// write after the look wakes the wait again.  With the watch working, a
// look that finds no log grown is calm again: the next write wakes it.
void look_now(long long now, bool all) {
    if (task_logs.notify_fd >= 0 && all) sys.take_write_events(task_logs.notify_fd);
    const long long slept = now - task_logs.looked_ms;
    task_logs.looked_ms = now;
    const off_t fastest = look_at_logs(all);
    set_look_pace(slept > 0 ? static_cast<unsigned long>(slept) : 0, fastest);
    if (fastest == 0 && task_logs.notify_fd >= 0) task_logs.look_ms = 0;
}

}  // namespace

void rotate_task_logs() {
    if (task_logs.watched_used == 0) return;
    look_now(sys.boot_milliseconds(), task_logs.look_ms != 0 || task_logs.notify_fd < 0);
}

std::size_t log_wait_sources(struct pollfd* fds, std::size_t cap) {
    if (cap == 0 || task_logs.watched_used == 0 || !watch_armed()) return 0;
    fds[0] = {task_logs.notify_fd, POLLIN, 0};
    return 1;
}

long long log_look_deadline() {
    if (task_logs.watched_used == 0 || task_logs.look_ms == 0) return -1;
    return task_logs.looked_ms + task_logs.look_ms;
}

void serve_task_logs(const struct pollfd* fds, std::size_t count, long long now_ms) {
    bool written = false;
    for (std::size_t i = 0; i < count; ++i)
        written |= fds[i].fd == task_logs.notify_fd && fds[i].revents != 0;
    if (written && task_logs.look_ms == 0) {
        // A look now, and another soon to tell how fast the log grows.
        look_now(now_ms, true);
        task_logs.look_ms = min_log_look_ms;
        return;
    }
    // Between slower looks: the next one 10 ms after the last.
    if (written) {
        sys.take_write_events(task_logs.notify_fd);
        task_logs.look_ms = min_log_look_ms;
    }
    const long long due = log_look_deadline();
    if (due >= 0 && now_ms >= due) look_now(now_ms, true);
}

}  // namespace vorn
