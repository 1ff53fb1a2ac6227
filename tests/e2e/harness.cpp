#include "harness.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace vorn::e2e {

namespace {

constexpr long long ns_per_second = 1000000000LL;

long long real_boot_ns() {
    timespec now{};
    if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * ns_per_second + now.tv_nsec;
}

// What the preloaded clock needs to put a process on the installation's
// clock; the process is marked by its pid once forked.
void set_clock_environment(const installation& inst) {
    ::setenv("VORN_TEST_MARKED_PID", std::to_string(::getpid()).c_str(), 1);
    ::setenv("VORN_TEST_CLOCK_EPOCH_NS", std::to_string(inst.clock_epoch_ns()).c_str(), 1);
    ::setenv("VORN_TEST_MS_PER_SECOND", std::to_string(inst.ms_per_second()).c_str(), 1);
}

}  // namespace

std::string cgroup2_mount() {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        if (line.find(" - cgroup2 ") == std::string::npos) continue;
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        return field;
    }
    return "";
}

std::string status_state(const installation& inst, const std::string& name) {
    const std::string text = read_file(inst.status_file());
    std::smatch m;
    const std::regex slot("\"name\":\"" + name + "\"[^}]*\"state\":\"(\\w+)\"");
    return std::regex_search(text, m, slot) ? m[1].str() : "";
}

bool process_gone(pid_t pid) {
    const char state = process_state(pid);
    return state == 0 || state == 'Z' || state == 'X';
}

std::string make_test_cgroup() {
    if (::geteuid() != 0) return "";
    const std::string mount = cgroup2_mount();
    std::string line;
    std::ifstream groups("/proc/self/cgroup");
    std::string own;
    while (own.empty() && std::getline(groups, line))
        if (line.rfind("0::", 0) == 0) own = line.substr(3);
    if (mount.empty() || own.empty()) return "";
    static std::atomic<int> made{0};
    std::string dir = mount + (own == "/" ? "" : own) + "/vorn_e2e." + std::to_string(::getpid()) +
                      "." + std::to_string(made++);
    return ::mkdir(dir.c_str(), 0755) == 0 ? dir : "";
}

void end_test_cgroup(const std::string& dir) {
    if (dir.empty()) return;
    std::ofstream(dir + "/cgroup.kill") << "1";
    wait_until([&] {
        std::ifstream events(dir + "/cgroup.events");
        std::string word;
        while (events >> word)
            if (word == "populated") return events >> word && word == "0";
        return true;
    });
    std::vector<std::filesystem::path> below;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, error))
        if (entry.is_directory(error)) below.push_back(entry.path());
    for (auto it = below.rbegin(); it != below.rend(); ++it) ::rmdir(it->c_str());
    ::rmdir(dir.c_str());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds poll) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(poll);
    }
    return true;
}

std::string unique_name(const std::string& base) {
    static std::atomic<int> counter{0};
    return base + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

installation::installation() {
    std::string pattern = "/tmp/vorn-e2e-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    clock_epoch_ns_ = real_boot_ns();
    for (const char* dir : {"/usr/sbin", "/etc/vorn/vorn_restart", "/log", "/cache"})
        std::filesystem::create_directories(root_ + dir);
}

installation::~installation() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

long long installation::boot_seconds() const {
    // As fast_clock.c reckons it.
    const long long since = real_boot_ns() - clock_epoch_ns_;
    const long long ms = ms_per_second_ < 1 ? 1 : ms_per_second_;
    if (since <= 0) return (clock_epoch_ns_ + since) / ns_per_second;
    return (clock_epoch_ns_ + since / ms * 1000 + since % ms * 1000 / ms) / ns_per_second;
}

void installation::write(const std::string& path, const std::string& text, bool executable) const {
    // Written aside and renamed, so that the supervisor never reads half a file.
    const std::string temp = path + ".writing";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    if (executable) ::chmod(temp.c_str(), 0755);
    std::filesystem::rename(temp, path);
}

void installation::task(const std::string& name, const std::string& body) const {
    const std::string log = root_ + "/log/" + name;
    write(sbin() + name,
          "#!/bin/sh\n"
          "printf '%s\\n' \"$$ $*\" >> '" +
              log +
              ".log'\n"
              "printf '%s %s\\n' \"${LD_LIBRARY_PATH-unset}\" \"$(readlink /proc/$$/fd/1)\" >> '" +
              log +
              ".env'\n"
              // The pid and the start time (field 22 of /proc/<pid>/stat) name the
              // process even when pids come round again in a long run.
              "read -r stat < /proc/$$/stat; set -- ${stat##*) }\n"
              "printf '%s %s\\n' \"$$\" \"${20}\" >> '" +
              log + ".ids'\n" + body + "\n",
          true);
}

void installation::copy_from(const std::string& dir) const {
    std::filesystem::copy(dir, root_,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
}

void installation::config(const std::string& json) const { write(config_file(), json); }

std::vector<std::string> installation::starts(const std::string& name) const {
    return read_lines(root_ + "/log/" + name + ".log");
}

std::vector<process_id> installation::start_ids(const std::string& name) const {
    std::vector<process_id> ids;
    for (const std::string& line : read_lines(root_ + "/log/" + name + ".ids")) {
        std::istringstream in(line);
        process_id id;
        if (in >> id.pid >> id.start_time) ids.push_back(id);
    }
    return ids;
}

std::vector<pid_t> installation::start_pids(const std::string& name) const {
    std::vector<pid_t> pids;
    for (const std::string& line : starts(name)) pids.push_back(std::atoi(line.c_str()));
    return pids;
}

supervisor::supervisor(const installation& inst, run_options options) {
    out_path_ = inst.root() + "/supervisor.out";
    err_path_ = inst.root() + "/supervisor.err";
    std::vector<std::string> args = options.wrapper;
    args.push_back(VORN_BINARY);
    if (options.debug) args.push_back("-d");
    args.push_back("--install_path=" + inst.root());
    args.push_back("--status_path=" + inst.status_file());  // never the machine's own
    for (const std::string& a : options.extra_arguments) args.push_back(a);

    std::string preload = VORN_FAST_CLOCK;
    for (const std::string& lib : options.preload) preload += ":" + lib;
    const char* without_pidfd = std::getenv("VORN_TEST_WITHOUT_PIDFD");
    if (options.without_pidfd || (without_pidfd && std::string(without_pidfd) == "1"))
        preload += std::string(":") + VORN_NO_PIDFD;
    for (const auto& [key, value] : options.environment)
        if (key == "VORN_TEST_MS_PER_SECOND") inst.ms_per_second_ = std::atol(value.c_str());
    const std::string path = std::string(VORN_FAKE_BIN) + ":/usr/bin:/bin";

    const std::string inherited = inst.root() + "/inherited";
    int out_pipe[2] = {-1, -1};
    if (options.stdout_to_pipe && ::pipe(out_pipe) != 0) std::abort();
    cgroup_ = make_test_cgroup();
    const std::string cgroup_procs = cgroup_ + "/cgroup.procs";
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        if (!cgroup_.empty()) {
            const int procs = ::open(cgroup_procs.c_str(), O_WRONLY | O_CLOEXEC);
            if (procs < 0 || ::write(procs, "0", 1) != 1) ::_exit(126);
            ::close(procs);
        }
        // Should the test process die without its clean-up (a crash), the
        // supervisor dies with it instead of running on unobserved.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::chdir(inst.root().c_str()) != 0) ::_exit(126);
        for (int signal : options.ignored_signals) ::signal(signal, SIG_IGN);
        const int out = options.stdout_to_pipe
                            ? out_pipe[1]
                            : ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (options.stdout_to_pipe) ::close(out_pipe[0]);
        const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        // Nothing else of the test process: the descriptors the supervisor
        // holds are then its own.
        ::close_range(options.closed_standard_descriptors ? 0 : 3, ~0U, 0);
        for (int fd : options.inherited_descriptors) {
            const int opened = ::open(inherited.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (opened < 0 || ::dup2(opened, fd) != fd) ::_exit(126);
            if (opened != fd) ::close(opened);
        }
        ::setenv("PATH", path.c_str(), 1);
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("VORN_TEST_KILLALL_LOG", inst.killall_log().c_str(), 1);
        ::setenv("VORN_TEST_SLEEP_LOG", inst.event_log().c_str(), 1);
        ::setenv("VORN_TEST_FORK_LOG", inst.event_log().c_str(), 1);
        // The test libraries act in this process only (it becomes the
        // supervisor, under a wrapper that execs it too), not in the tasks
        // it starts.  A wrapper that forks it (a PID namespace) names the
        // pid it will have in its environment.
        set_clock_environment(inst);
        // The sanitizer runtime need not come first when a library is preloaded.
        ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
        ::unsetenv("LD_LIBRARY_PATH");
        for (const auto& [key, value] : options.environment)
            ::setenv(key.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);
    if (options.stdout_to_pipe) {
        ::close(out_pipe[1]);
        stdout_reader_ = out_pipe[0];
    }
}

supervisor::~supervisor() {
    stop();
    close_stdout_reader();
}

void supervisor::close_stdout_reader() {
    if (stdout_reader_ >= 0) ::close(stdout_reader_);
    stdout_reader_ = -1;
}

void supervisor::stop() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);  // the supervisor and every task it started
    if (!reaped_) {
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    pid_ = -1;
    end_test_cgroup(cgroup_);
    cgroup_.clear();
}

bool supervisor::terminate(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGTERM);
    const bool ended = wait_until([&] { return !running(); }, timeout);
    stop();
    return ended;
}

bool supervisor::running() {
    if (reaped_) return false;
    const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

namespace {

// run_program, and with `clock` on that installation's clock.
program_result run(const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& environment,
                   const std::string& killall_log, const installation* clock,
                   const std::string& cgroup = "") {
    std::string out_path = "/tmp/vorn-e2e-out-XXXXXX", err_path = "/tmp/vorn-e2e-err-XXXXXX";
    const int out = ::mkstemp(out_path.data());
    const int err = ::mkstemp(err_path.data());
    if (out < 0 || err < 0) std::abort();
    const std::string path = std::string(VORN_FAKE_BIN) + ":/usr/bin:/bin";
    const pid_t pid = ::fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        if (!cgroup.empty()) {
            const int procs = ::open((cgroup + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
            if (procs < 0 || ::write(procs, "0", 1) != 1) ::_exit(126);
            ::close(procs);
        }
        const int in = ::open("/dev/null", O_RDONLY);
        if (in < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::setenv("PATH", path.c_str(), 1);
        ::setenv("VORN_TEST_KILLALL_LOG", killall_log.empty() ? "/dev/null" : killall_log.c_str(),
                 1);
        if (clock) {
            ::setenv("LD_PRELOAD", VORN_FAST_CLOCK, 1);
            set_clock_environment(*clock);
            ::unsetenv("VORN_TEST_SLEEP_LOG");  // the supervisor's alone
            const char* asan = std::getenv("ASAN_OPTIONS");
            const std::string options = asan && *asan ? std::string(asan) + ":" : "";
            ::setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0").c_str(), 1);
        }
        for (const auto& [key, value] : environment) ::setenv(key.c_str(), value.c_str(), 1);
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    program_result result;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    ::unlink(out_path.c_str());
    ::unlink(err_path.c_str());
    return result;
}

}  // namespace

program_result run_program(const std::vector<std::string>& args,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           const std::string& killall_log) {
    return run(args, environment, killall_log, nullptr);
}

program_result run_program_in(const std::string& cgroup, const std::vector<std::string>& args,
                              const std::vector<std::pair<std::string, std::string>>& environment,
                              const std::string& killall_log) {
    return run(args, environment, killall_log, nullptr, cgroup);
}

program_result run_on_clock(const installation& inst, const std::vector<std::string>& args,
                            const std::vector<std::pair<std::string, std::string>>& environment,
                            const std::string& killall_log) {
    return run(args, environment, killall_log, &inst);
}

marker::~marker() { remove(); }

void marker::create() const { ::close(::open(path.c_str(), O_WRONLY | O_CREAT, 0644)); }

void marker::remove() const { ::unlink(path.c_str()); }

char process_state(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    return stat[close + 2];
}

unsigned long long process_start_time(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    // Field 3 (the state) follows ") "; the start time is field 22.
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    for (int n = 3; n <= 22 && in >> field; ++n)
        if (n == 22) return std::stoull(field);
    return 0;
}

std::vector<pid_t> supervisor::children() const {
    std::vector<pid_t> kids;
    const std::string base = "/proc/" + std::to_string(pid_) + "/task/";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
        std::istringstream in(read_file(entry.path().string() + "/children"));
        for (pid_t child; in >> child;) kids.push_back(child);
    }
    return kids;
}

std::vector<pid_t> supervisor::live_children() const {
    std::vector<pid_t> live;
    for (pid_t child : children()) {
        const char state = process_state(child);
        if (state != 0 && state != 'Z' && state != 'X') live.push_back(child);
    }
    return live;
}

int supervisor::zombie_children() const {
    int n = 0;
    for (pid_t child : children())
        if (process_state(child) == 'Z') ++n;
    return n;
}

int supervisor::open_descriptors() const {
    int n = 0;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
        (void)entry;
        ++n;
    }
    return n;
}

long supervisor::resident_kib() const {
    for (const std::string& line : read_lines("/proc/" + std::to_string(pid_) + "/status"))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

zombie_watch::zombie_watch(const supervisor& sup)
    : thread_([this, &sup] {
          while (!stop_) {
              const int now = sup.zombie_children();
              if (now > most_) most_ = now;
              ++samples_;
              std::this_thread::sleep_for(2ms);
          }
      }) {}

zombie_watch::~zombie_watch() {
    stop_ = true;
    thread_.join();
}

std::string table_mismatch(const supervisor& sup, const installation& inst,
                           const std::vector<std::string>& tasks,
                           const std::vector<std::string>& running) {
    // The logs first: a process found alive afterwards was alive when its
    // later start had already been logged.
    std::vector<std::vector<process_id>> starts;
    for (const std::string& name : tasks) starts.push_back(inst.start_ids(name));
    std::vector<process_id> live;
    for (pid_t pid : sup.live_children()) live.push_back({pid, process_start_time(pid)});
    const auto is_live = [&](const process_id& id) {
        for (const process_id& l : live)
            if (l == id) return true;
        return false;
    };
    std::ostringstream why;
    std::vector<process_id> expected;
    for (std::size_t t = 0; t < tasks.size(); ++t) {
        const std::vector<process_id>& ids = starts[t];
        for (std::size_t i = 0; i + 1 < ids.size(); ++i)
            if (is_live(ids[i]))
                why << tasks[t] << ": start " << i + 1 << " (pid " << ids[i].pid
                    << ") still runs after a later start; ";
        for (const std::string& r : running)
            if (r == tasks[t]) {
                if (ids.empty() || !is_live(ids.back()))
                    why << tasks[t] << ": last start is not running; ";
                else
                    expected.push_back(ids.back());
            }
    }
    if (!running.empty()) {
        for (const process_id& l : live) {
            bool known = false;
            for (const process_id& e : expected) known = known || e == l;
            if (!known) why << "child " << l.pid << " is no task's last start; ";
        }
        if (const int zombies = sup.zombie_children()) why << zombies << " zombies; ";
    }
    return why.str();
}

std::vector<std::string> foreign_kills(const installation& inst,
                                       const std::vector<std::string>& names) {
    // Each call is "[-9][--][name]...": the options, then names only.
    std::vector<std::string> foreign;
    for (const std::string& call : inst.killall_calls()) {
        const std::string options = "[-9][--]";
        if (call.compare(0, options.size(), options) != 0 || call.size() == options.size()) {
            foreign.push_back(call);
            continue;
        }
        for (std::size_t at = options.size(); at < call.size();) {
            const std::size_t end = call.find(']', at);
            const std::string name = call.substr(at + 1, end - at - 1);
            bool known = false;
            for (const std::string& n : names) known = known || n == name;
            if (!known) foreign.push_back(name);
            at = end == std::string::npos ? call.size() : end + 1;
        }
    }
    return foreign;
}

}  // namespace vorn::e2e
