// End-to-end harness: a temporary installation root with scripted tasks,
// and the real supervisor binary running on it in a process group of its
// own, with sleep() scaled down by a preloaded library and killall replaced
// by a logging fake first in PATH.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vorn::e2e {

using namespace std::chrono_literals;

std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
std::size_t count_of(const std::string& text, const std::string& needle);

// Polls the condition until it holds or the deadline passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s);

// A name no other test uses: markers and kill-by-name stay apart.
std::string unique_name(const std::string& base);

class installation {
public:
    installation();
    ~installation();
    installation(const installation&) = delete;
    installation& operator=(const installation&) = delete;

    const std::string& root() const { return root_; }  // no final '/'
    std::string sbin() const { return root_ + "/usr/sbin/"; }
    std::string cache() const { return root_ + "/cache"; }
    std::string config_file() const { return root_ + "/etc/vorn/vorn_restart/vorn_restart.conf"; }
    std::string killall_log() const { return root_ + "/killall.log"; }

    // A task script: it logs "<pid> <arguments>" to log/<name>.log and its
    // LD_LIBRARY_PATH and standard output to log/<name>.env, then runs body.
    void task(const std::string& name, const std::string& body) const;
    void config(const std::string& json) const;
    // Copies a whole installation tree (such as the demo) over the root.
    void copy_from(const std::string& dir) const;
    void write(const std::string& path, const std::string& text, bool executable = false) const;

    // Lines of log/<name>.log: one per start of the task.
    std::vector<std::string> starts(const std::string& name) const;
    std::vector<pid_t> start_pids(const std::string& name) const;
    std::vector<std::string> killall_calls() const { return read_lines(killall_log()); }

private:
    std::string root_;
};

struct run_options {
    bool debug = true;
    std::vector<std::string> extra_arguments;
    std::vector<std::pair<std::string, std::string>> environment;
    std::vector<std::string> preload;  // further libraries to preload
    bool stdout_to_pipe = false;       // standard output into a pipe (see close_stdout_reader)
    std::vector<int> ignored_signals;  // start the supervisor with these ignored
};

class supervisor {
public:
    supervisor(const installation& inst, run_options options = {});
    ~supervisor();  // ends the whole process group
    supervisor(const supervisor&) = delete;
    supervisor& operator=(const supervisor&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }
    // True while the supervisor has not exited; the status once it has.
    bool running();
    int exit_status() const { return status_; }
    // Sum of the supervisor's children that are zombies right now.
    int zombie_children() const;
    std::vector<pid_t> children() const;
    int open_descriptors() const;
    long resident_kib() const;
    void stop();
    // Ends the reading side of the standard-output pipe: later writes fail.
    void close_stdout_reader();

private:
    int stdout_reader_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string out_path_, err_path_;
};

// A program run to its end: exit status (128 + signal when killed) and output.
struct program_result {
    int status = -1;
    std::string out, err;
};

// Runs a program with standard input from /dev/null, PATH led by the fake
// killall (logging to killall_log, when given) and the extra environment,
// and waits for it.
program_result run_program(const std::vector<std::string>& args,
                           const std::vector<std::pair<std::string, std::string>>& environment = {},
                           const std::string& killall_log = "");

// A not-run marker /tmp/.<name>.nr, removed when the test ends, whatever happens.
struct marker {
    std::string path;
    explicit marker(const std::string& name) : path("/tmp/." + name + ".nr") {}
    ~marker();
    marker(const marker&) = delete;
    marker& operator=(const marker&) = delete;
    void create() const;
    void remove() const;
};

// State letter of /proc/<pid>/stat, or 0 when the process is gone.
char process_state(pid_t pid);

}  // namespace vorn::e2e
