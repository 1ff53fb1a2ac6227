// Reading a task's log, both generations, as far as it may be trusted (see
// task_log.hpp).
#include "check/task_log.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "base/log_trust.hpp"
#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "check/exit_status.hpp"
#include "check/shell_quote.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

// The older generation's bytes, then the current one's right after them:
// read as one text, a line the rotation split is one line again.
std::array<char, 2 * log_read_limit> log_bytes{};

using refusal_text = log_refusal_text;
// Why each generation was refused ("" when it was not).
std::array<refusal_text, 2> refusals{};

struct generation {
    long count;  // bytes read, -1 when there is no such file or it was refused
    bool cut;    // the file holds more than was read
    struct stat info;
};

void refuse(refusal_text& why, const char* format, ...) __attribute__((format(printf, 2, 3)));

void refuse(refusal_text& why, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    if (!vformat_text(why.data(), why.size(), format, args)) copy_text(why, "a log is refused");
    va_end(args);
}

// The owners the checker accepts: root, itself and the supervisor's user.
log_owners trusted_owners(const log_place& place) {
    return {{0, sys.effective_user(), place.owner}, 3};
}

// Why what is at path (the directory or a log) is not trusted, into why.
void refuse_fault(refusal_text& why, const char* path, log_fault fault, const struct stat& info) {
    const char* what = nullptr;
    switch (fault) {
        case log_fault::none: return;
        case log_fault::other_owner:
            refuse(why,
                   "%s is owned by user %u, not root, this user or vorn_restart's: not trusted",
                   shown(path), static_cast<unsigned>(info.st_uid));
            return;
        case log_fault::symbolic_link: what = "is a symbolic link"; break;
        case log_fault::not_directory: what = "is not a directory"; break;
        case log_fault::not_regular: what = "is not a regular file"; break;
        case log_fault::group_writable: what = "can be written by its group"; break;
        case log_fault::others_writable: what = "can be written by anyone"; break;
        case log_fault::hard_links: what = "has other names (hard links)"; break;
    }
    refuse(why, "%s %s: not trusted", shown(path), what);
}

// The last cap bytes of the file name in the directory dir_fd (path: how
// it is named), into buf; the file only when it may be believed (see
// log_place).
generation read_generation(const log_place& place, int dir_fd, const char* path, const char* name,
                           char* buf, std::size_t cap, refusal_text& why) {
    generation read{-1, false, {}};
    why[0] = '\0';
    const long n = sys.read_tail_at(dir_fd, name, buf, cap, &read.info);
    if (n < 0) {
        const int error = errno;
        if (error == ELOOP)
            refuse(why, "%s is a symbolic link: not trusted", shown(path));
        else if (error != ENOENT)
            refuse(why, "cannot read %s: %s", shown(path), std::strerror(error));
        return read;
    }
    const log_fault fault = log_file_fault(read.info, trusted_owners(place));
    if (fault != log_fault::none) {
        refuse_fault(why, path, fault, read.info);
    } else if (static_cast<unsigned long>(n) > cap) {
        refuse(why, "cannot read %s: more bytes than asked for", shown(path));
    } else {
        read.count = n;
        // Sizes are only compared, never computed with.
        read.cut = read.info.st_size < 0 || static_cast<unsigned long long>(read.info.st_size) >
                                                static_cast<unsigned long long>(n);
    }
    return read;
}

// The log directory, opened never through a link and trusted by the rule
// the supervisor keeps (base/log_trust), or -1: it does not exist, or
// refusals[0] says why it is refused.
int open_log_directory(const log_place& place) {
    setting_text dir{};
    copy_text(dir, place.dir);
    // Without its final '/': a trailing slash would have a link followed.
    const std::size_t length = std::strlen(dir.data());
    if (length > 1 && dir[length - 1] == '/') dir[length - 1] = '\0';
    struct stat info {};
    const int fd = sys.open_existing_directory(dir.data(), &info);
    const int error = errno;
    log_fault fault = log_fault::none;
    if (fd >= 0) {
        fault = log_directory_fault(info, trusted_owners(place));
        if (fault == log_fault::none) return fd;
        sys.close_descriptor(fd);
    } else if ((error == ELOOP || error == ENOTDIR) && sys.lstat_path(dir.data(), &info) == 0) {
        fault = log_directory_fault(info, trusted_owners(place));
    }
    if (fault != log_fault::none)
        refuse_fault(refusals[0], dir.data(), fault, info);
    else if (error != ENOENT)
        refuse(refusals[0], "cannot open %s: %s", shown(dir.data()), std::strerror(error));
    return -1;
}

bool same_file(const generation& a, const generation& b) {
    if (a.count < 0 || b.count < 0) return a.count < 0 && b.count < 0;
    return a.info.st_dev == b.info.st_dev && a.info.st_ino == b.info.st_ino &&
           a.info.st_size == b.info.st_size && a.info.st_mtim.tv_sec == b.info.st_mtim.tv_sec &&
           a.info.st_mtim.tv_nsec == b.info.st_mtim.tv_nsec;
}

// text without its first line, when that is a piece of one the read cut.
std::string_view whole_lines(std::string_view text, bool cut) {
    if (!cut) return text;
    const std::size_t end = text.find('\n');
    return end == std::string_view::npos ? text : tail_from(text, end + 1);
}

struct log_text {
    std::string_view text;  // both generations, oldest byte first
    bool found;             // a generation exists (refused or not)
    bool refused;           // a generation was refused: refusals say why
};

// Both generations of the task's log.  When the older one changes while
// they are read (the log was rotated meanwhile), they are read again.
log_text read_log(const log_place& place, const char* name) {
    log_file_path current{}, older{};
    std::array<char, task_name_size + sizeof(".log.1")> current_name{}, older_name{};
    if (log_name_fault(name) ||
        !format_text(current.data(), current.size(), "%s%s.log", place.dir, name) ||
        !format_text(older.data(), older.size(), "%s.1", current.data()) ||
        !format_text(current_name.data(), current_name.size(), "%s.log", name) ||
        !format_text(older_name.data(), older_name.size(), "%s.1", current_name.data()))
        return {{}, false, false};
    const int dir_fd = open_log_directory(place);
    if (dir_fd < 0) return {{}, refusals[0][0] != '\0', refusals[0][0] != '\0'};
    generation old_read{}, new_read{};
    for (int attempt = 0; attempt < 3; ++attempt) {
        old_read = read_generation(place, dir_fd, older.data(), older_name.data(), log_bytes.data(),
                                   log_read_limit, refusals[0]);
        const std::size_t old_count =
            old_read.count > 0 ? static_cast<std::size_t>(old_read.count) : 0;
        new_read = read_generation(place, dir_fd, current.data(), current_name.data(),
                                   log_bytes.data() + old_count, log_read_limit, refusals[1]);
        // Only what fstat tells is wanted now.
        std::array<char, 1> none{};
        refusal_text ignored{};
        if (same_file(old_read, read_generation(place, dir_fd, older.data(), older_name.data(),
                                                none.data(), 0, ignored)))
            break;
    }
    sys.close_descriptor(dir_fd);
    const std::size_t old_count = old_read.count > 0 ? static_cast<std::size_t>(old_read.count) : 0;
    const std::size_t new_count = new_read.count > 0 ? static_cast<std::size_t>(new_read.count) : 0;
    const std::string_view old_text = whole_lines({log_bytes.data(), old_count}, old_read.cut);
    const std::string_view new_text =
        whole_lines({log_bytes.data() + old_count, new_count}, new_read.cut);
    log_text log{};
    // A current generation read only in part leaves a gap before it: the
    // older one does not join it then.
    log.text = new_read.cut || old_text.empty()
                   ? new_text
                   : std::string_view(old_text.data(), old_text.size() + new_text.size());
    log.refused = refusals[0][0] != '\0' || refusals[1][0] != '\0';
    log.found = old_read.count >= 0 || new_read.count >= 0 || log.refused;
    return log;
}

}  // namespace

const char* log_name_fault(std::string_view name) {
    if (name.empty()) return "is empty";
    if (name == "." || name == "..") return "is not a file name";
    if (name.find('/') != std::string_view::npos) return "holds a '/'";
    if (name.find('\0') != std::string_view::npos) return "holds a NUL byte";
    if (name.size() >= task_name_size) return "is longer than a task name";
    return nullptr;
}

std::size_t last_lines_start(std::string_view text, std::size_t want, std::size_t* found) {
    *found = 0;
    if (text.empty() || want == 0) return text.size();
    // The final newline ends the last line; every other one ends a line too.
    std::size_t end = text.back() == '\n' ? text.size() - 1 : text.size();
    std::size_t start = end;
    while (*found < want) {
        start = end;
        while (start > 0 && text[start - 1] != '\n') --start;
        ++*found;
        if (start == 0) break;
        end = start - 1;
    }
    return start;
}

int print_task_log(const log_place& place, const char* name, unsigned lines) {
    refusals[0][0] = refusals[1][0] = '\0';
    const log_text log = read_log(place, name);
    if (!log.found) {
        complain("no log of task %s: %s%s.log does not exist", shown(name), shown(place.dir),
                 shown(name));
        return status_exit_degraded;
    }
    for (const refusal_text& why : refusals)
        if (why[0] != '\0') complain("%s", why.data());
    std::size_t found = 0;
    const std::string_view shown_part =
        tail_from(log.text, last_lines_start(log.text, lines, &found));
    // The task's own bytes, as it wrote them; only a missing final newline
    // is added, so that what follows starts on a line of its own.
    const bool add_newline = !shown_part.empty() && shown_part.back() != '\n';
    // Nothing to write may come without a buffer at all (a refused directory).
    if ((!shown_part.empty() &&
         std::fwrite(shown_part.data(), 1, shown_part.size(), stdout) != shown_part.size()) ||
        (add_newline && std::fputc('\n', stdout) == EOF) || std::fflush(stdout) != 0) {
        complain("cannot write the log: %s", std::strerror(errno));
        return status_exit_unknown;
    }
    return log.refused ? status_exit_unknown : status_exit_running;
}

void read_status_log_tail(const log_place& place, std::string_view name, status_log_tail* tail) {
    tail->note_count = tail->line_count = 0;
    std::array<char, task_name_size> name_text{};
    if (log_name_fault(name) || !copy_text(name_text, name)) return;
    refusals[0][0] = refusals[1][0] = '\0';
    const log_text log = read_log(place, name_text.data());
    for (const refusal_text& why : refusals)
        if (why[0] != '\0') tail->notes[tail->note_count++] = why;
    std::size_t found = 0;
    std::string_view rest =
        tail_from(log.text, last_lines_start(log.text, status_log_lines, &found));
    for (std::size_t i = 0; i < found; ++i) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = head(rest, end);
        auto& shown_line = tail->lines[tail->line_count++];
        format_text(shown_line.data(), shown_line.size(), "%s%s",
                    shown(head(line, status_log_width)),
                    line.size() > status_log_width ? " [cut]" : "");
        rest = end == std::string_view::npos ? std::string_view() : tail_from(rest, end + 1);
    }
}

}  // namespace vorn
