// Starting one task as a child process (see launch.hpp).
#include "supervise/launch.hpp"

#include "supervise/children.hpp"

#include <cerrno>
#include <unistd.h>

#include "base/inherited.hpp"
#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/unit.hpp"

namespace vorn {

namespace {

constexpr char install_option[] = "--install_path=";
constexpr char cache_option[] = "--cache_path=";

// Each setting argument fits its buffer, whatever the setting holds.
std::array<char, sizeof(install_option) - 1 + setting_size> install_argument{};
std::array<char, sizeof(cache_option) - 1 + setting_size> cache_argument{};

// Appends text to buf[size] at *used; the result stays NUL-terminated.
void append(char* buf, std::size_t size, std::size_t* used, const char* text) {
    while (*text && *used + 1 < size) buf[(*used)++] = *text++;
    buf[*used] = '\0';
}

// Writes all len bytes with write() alone (async-signal-safe); gives up
// quietly, there being nobody left to tell.
void write_whole(int fd, const char* line, std::size_t len) {
    std::size_t written = 0;
    while (written < len) {
        const ssize_t n = ::write(fd, line + written, len - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::size_t build_child_argv(const task_info& task, child_argv& argv) {
    std::size_t n = 0;
    argv[n++] = const_cast<char*>(task.task_path.data());
    for (std::size_t k = 0; k < argument_count(task); ++k)
        argv[n++] = const_cast<char*>(task.task_argument[k].data());
    if (!is_empty(install_path)) {
        format_text(install_argument.data(), install_argument.size(), "%s%s", install_option,
                    install_path.data());
        argv[n++] = install_argument.data();
    }
    if (!is_empty(cache_path)) {
        format_text(cache_argument.data(), cache_argument.size(), "%s%s", cache_option,
                    cache_path.data());
        argv[n++] = cache_argument.data();
    }
    const std::size_t count = n;
    while (n < argv.size()) argv[n++] = nullptr;
    return count;
}

void exec_task(const task_info& task, char* const argv[], int report_fd) {
    restore_broken_pipes();
    ::execvp(task.task_path.data(), argv);
    // Only async-signal-safe calls from here: the line is put together by
    // hand and written at once, and _exit leaves the parent's stdio buffers
    // and exit handlers alone.
    const int error = errno;
    std::array<char, 512> line{};
    std::size_t used = 0;
    append(line.data(), line.size(), &used, "execlp(");
    append(line.data(), line.size(), &used, task.task_name.data());
    append(line.data(), line.size(), &used, ", ");
    append(line.data(), line.size(), &used, task.task_name.data());
    append(line.data(), line.size(), &used, "): ");
    append(line.data(), line.size(), &used, error_text(error));
    append(line.data(), line.size(), &used, "\n");
    write_whole(STDERR_FILENO, line.data(), used);
    // In one write, well under PIPE_BUF: the reader has all of it or nothing.
    if (report_fd >= 0) write_whole(report_fd, reinterpret_cast<const char*>(&error), sizeof error);
    ::_exit(255);
}

void use_child_log(const child_log& log) {
    if (log.fd < 0) return;
    std::array<char, sizeof(log.head) + 16 + sizeof(log.tail)> line{};
    std::size_t used = 0;
    append(line.data(), line.size(), &used, log.head.data());
    // The pid by hand: no formatting function is safe here.
    std::array<char, 16> digits{};
    std::size_t count = 0;
    for (auto pid = static_cast<unsigned long>(::getpid()); count < digits.size(); pid /= 10) {
        digits[count++] = static_cast<char>('0' + pid % 10);
        if (pid < 10) break;
    }
    while (count > 0 && used + 1 < line.size()) line[used++] = digits[--count];
    line[used] = '\0';
    append(line.data(), line.size(), &used, log.tail.data());
    write_whole(log.fd, line.data(), used);
    ::dup2(log.fd, STDOUT_FILENO);
    ::dup2(log.fd, STDERR_FILENO);
}

pid_t start_task(std::size_t slot, int report_fd) {
    const task_info& task = task_table[slot];
    child_argv argv{};
    build_child_argv(task, argv);
    // Kept in process-wide storage: a kilobyte more on the stack of every pass is not needed.
    static child_log log{};
    open_task_log(slot, argv.data(), log);
    restore_ld_library_path();
    const int join_fd = unit_join_descriptor(slot);
    const pid_t pid = sys.fork_process();
    if (pid == 0) {
        // Into the task's cgroup first of all, before anything it runs can fork.
        if (join_fd >= 0) write_whole(join_fd, "0", 1);
        use_child_log(log);
        exec_task(task, argv.data(), report_fd);
    }
    const int error = errno;
    if (join_fd >= 0) sys.close_descriptor(join_fd);
    task_log_started(slot, log, pid);
    hold_child(pid);
    errno = error;
    return pid;
}

}  // namespace vorn
