// Starting one task as a child process (see launch.hpp).
#include "supervise/launch.hpp"

#include "base/platform.hpp"
#include "supervise/children.hpp"
#include "supervise/start_report.hpp"

#include <cerrno>
#include <unistd.h>

#include "base/inherited.hpp"
#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/unit_cgroups.hpp"

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

// Whether the entry "NAME=value" sets the same name as variable "NAME=...".
bool same_name(const char* entry, const char* variable) {
    for (; *variable != '\0' && *variable != '='; ++entry, ++variable)
        if (*entry != *variable) return false;
    return *entry == '=' && *variable == '=';
}

// What a task's settings add to the environment, in their order: HOME,
// USER and LOGNAME of the user it runs as and PWD of its directory, then
// its "environment", which wins over those for a name it gives too.
constexpr std::size_t identity_variables = 4;
std::array<char*, identity_variables + task_environment_max> added{};
std::array<char, sizeof "HOME=" + task_path_size> home_variable{};
std::array<char, sizeof "USER=" + task_user_name_size> user_variable{};
std::array<char, sizeof "LOGNAME=" + task_user_name_size> logname_variable{};
std::array<char, sizeof "PWD=" + task_path_size> pwd_variable{};

bool given(const char* variable, const task_settings& settings) {
    for (std::size_t i = 0; i < settings.variable_count && i < task_environment_max; ++i)
        if (same_name(settings.variables[i].data(), variable)) return true;
    return false;
}

// Adds the variable "<name><value>" unless the task's "environment" gives it.
template <std::size_t N>
void add_own(std::size_t* count, std::array<char, N>& variable, const char* name, const char* value,
             const task_settings& settings) {
    format_text(variable.data(), variable.size(), "%s%s", name, value);  // sized to fit
    if (!given(variable.data(), settings)) added[(*count)++] = variable.data();
}

// Fills `added`: the count.
std::size_t collect_added(const task_settings& s) {
    std::size_t count = 0;
    if (s.identity) {
        add_own(&count, home_variable, "HOME=", s.home.data(), s);
        add_own(&count, user_variable, "USER=", s.login.data(), s);
        add_own(&count, logname_variable, "LOGNAME=", s.login.data(), s);
    }
    if (s.directory[0] != '\0') add_own(&count, pwd_variable, "PWD=", s.directory.data(), s);
    for (std::size_t i = 0; i < s.variable_count && i < task_environment_max; ++i)
        added[count++] = const_cast<char*>(s.variables[i].data());
    return count;
}

bool overridden(const char* entry, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (same_name(entry, added[i])) return true;
    return false;
}

// The environment of a child with variables of its own, built before fork.
alignas(
    rarely_used) std::array<char*, child_environment_max + added.size() + 1> child_environment{};

}  // namespace

bool children_reset_oom_score = false;

char* const* build_child_environment(const task_settings* settings, bool* fits) {
    *fits = true;
    const std::size_t count = settings != nullptr ? collect_added(*settings) : 0;
    if (count == 0) return nullptr;
    std::size_t n = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (overridden(*entry, count)) continue;
        if (n == child_environment_max) {
            *fits = false;
            break;
        }
        child_environment[n++] = *entry;
    }
    for (std::size_t i = 0; i < count; ++i) child_environment[n++] = added[i];
    child_environment[n] = nullptr;
    return child_environment.data();
}

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
    const child_plan plan = plan_child(nullptr, false);
    launch_child(task, argv, nullptr, plan, report_fd);
}

start_failure run_child(const task_info& task, char* const argv[], char* const envp[],
                        const child_plan& plan) {
    start_failure failure{};
    if (!take_child_steps(plan, &failure)) return failure;
    restore_broken_pipes();
    sys.exec_program(task.task_path.data(), argv, envp);
    return start_failure{errno, start_step::exec, 0, {}};
}

void launch_child(const task_info& task, char* const argv[], char* const envp[],
                  const child_plan& plan, int report_fd) {
    const start_failure failure = run_child(task, argv, envp, plan);
    // Only async-signal-safe calls from here: the line is put together by
    // hand and written at once, and _exit leaves the parent's stdio buffers
    // and exit handlers alone.
    std::array<char, 512> line{};
    std::size_t used = 0;
    if (failure.step == start_step::exec) {
        append(line.data(), line.size(), &used, "execlp(");
        append(line.data(), line.size(), &used, task.task_name.data());
        append(line.data(), line.size(), &used, ", ");
        append(line.data(), line.size(), &used, task.task_name.data());
        append(line.data(), line.size(), &used, "): ");
        append(line.data(), line.size(), &used, error_text(failure.error));
    } else {
        std::array<char, start_failure_text_size> why{};
        describe_start_failure(failure, plan.settings, "cannot ", why.data(), why.size());
        append(line.data(), line.size(), &used, task.task_name.data());
        append(line.data(), line.size(), &used, " not started: ");
        append(line.data(), line.size(), &used, why.data());
    }
    append(line.data(), line.size(), &used, "\n");
    write_whole(STDERR_FILENO, line.data(), used);
    // In one write, well under PIPE_BUF: the reader has all of it or nothing.
    if (report_fd >= 0)
        write_whole(report_fd, reinterpret_cast<const char*>(&failure), sizeof failure);
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

namespace {

// Whether the child has a step that can fail: it then tells a failure on
// an exec report.
bool may_fail_a_step(const child_plan& plan) {
    return plan.settings != nullptr || plan.cgroup_join_fd >= 0 ||
           plan.cgroup_refused.step == start_step::cgroup;
}

// A report of the slot's own for a child that may fail a step, unless the
// caller follows one already.
void open_own_report(const child_plan& plan, int& report_fd, std::array<int, 2>& own) {
    if (report_fd < 0 && own[1] < 0 && may_fail_a_step(plan) &&
        sys.open_exec_report(own.data()) == 0)
        report_fd = own[1];
}

// The child, started in its cgroup where the kernel can, else forked to
// join its cgroup as its first step.
pid_t fork_child(child_plan& plan, unit_start& unit, int& report_fd, std::array<int, 2>& own) {
    open_own_report(plan, report_fd, own);
    if (unit.cgroup_fd >= 0) {
        const pid_t pid = sys.fork_into_cgroup(unit.cgroup_fd);
        if (pid >= 0 || !unit_start_by_joining(unit, errno, &plan)) return pid;
        open_own_report(plan, report_fd, own);
    }
    return sys.fork_process();
}

}  // namespace

pid_t start_task(std::size_t slot, int report_fd) {
    const task_info& task = task_table[slot];
    child_argv argv{};
    build_child_argv(task, argv);
    // Kept in process-wide storage: a kilobyte more on the stack of every pass is not needed.
    static child_log log{};
    open_task_log(slot, argv.data(), log);
    restore_ld_library_path();
    const task_settings* settings = settings_of(slot);
    child_plan plan = plan_child(settings, children_reset_oom_score);
    char* const* envp = build_child_environment(settings, &plan.environment_fits);
    // A child that may fail a step tells it on a report of its own, read
    // when its end is recorded, unless the caller follows one already.
    unit_start unit = begin_unit_start(slot, &plan);
    std::array<int, 2> own_report{-1, -1};
    const pid_t pid = fork_child(plan, unit, report_fd, own_report);
    if (pid == 0) {
        use_child_log(log);
        launch_child(task, argv.data(), envp, plan, report_fd);
    }
    const int error = errno;
    end_unit_start(unit, &plan);
    if (own_report[1] >= 0) {
        sys.close_descriptor(own_report[1]);
        keep_start_report(slot, pid > 0 ? own_report[0] : -1);
        if (pid <= 0) sys.close_descriptor(own_report[0]);
    }
    task_log_started(slot, log, pid);
    hold_child(pid);
    errno = error;
    return pid;
}

}  // namespace vorn
