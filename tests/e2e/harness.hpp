// End-to-end harness: a temporary installation root with scripted tasks,
// and the real supervisor binary running on it in a process group of its
// own, with its boot clock and its waits sped up by a preloaded library
// (fast_clock.c) and killall replaced by a logging fake first in PATH.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace vorn::e2e {

using namespace std::chrono_literals;

std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
std::size_t count_of(const std::string& text, const std::string& needle);

// Polls the condition every `poll` until it holds or the deadline passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s,
                std::chrono::milliseconds poll = 10ms);

// A name no other test uses: markers and kill-by-name stay apart.
std::string unique_name(const std::string& base);

// A process as the tasks log it: pids come round again in a long run, the
// pair with the start time (in clock ticks since boot) does not.
struct process_id {
    pid_t pid = 0;
    unsigned long long start_time = 0;
    bool operator==(const process_id&) const = default;
};

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
    // Where the supervisors of the tests publish their status.
    std::string status_file() const { return root_ + "/vorn_restart.status"; }
    // The supervisor's waits ("sleep 5" for a pass, "sleep 30" after an
    // unusable configuration) and the failures of fork injected by the
    // tests, in the order they happened.
    std::string event_log() const { return root_ + "/events.log"; }
    std::vector<std::string> events() const { return read_lines(event_log()); }

    // A task script: it logs "<pid> <arguments>" to log/<name>.log, its
    // LD_LIBRARY_PATH and standard output to log/<name>.env and
    // "<pid> <start time>" to log/<name>.ids, then runs body.
    void task(const std::string& name, const std::string& body) const;
    void config(const std::string& json) const;
    // Copies a whole installation tree (such as the demo) over the root.
    void copy_from(const std::string& dir) const;
    void write(const std::string& path, const std::string& text, bool executable = false) const;

    // Lines of log/<name>.log: one per start of the task.
    std::vector<std::string> starts(const std::string& name) const;
    std::vector<pid_t> start_pids(const std::string& name) const;
    // Lines of log/<name>.ids: the process of each start.
    std::vector<process_id> start_ids(const std::string& name) const;
    std::vector<std::string> killall_calls() const { return read_lines(killall_log()); }

    // The clock the supervisor, the checker and the control client share on
    // this installation: the real boot clock from the moment the
    // installation was made on, run 1000 / ms_per_second() times as fast.
    // A supervisor started with VORN_TEST_MS_PER_SECOND in its environment
    // sets the pace for the programs run after it.
    long long clock_epoch_ns() const { return clock_epoch_ns_; }
    long ms_per_second() const { return ms_per_second_; }
    // Seconds of that clock now, as the supervisor reads its boot clock.
    long long boot_seconds() const;

private:
    friend class supervisor;
    std::string root_;
    long long clock_epoch_ns_ = 0;
    mutable long ms_per_second_ = 10;
};

struct run_options {
    bool debug = true;
    std::vector<std::string> extra_arguments{};
    std::vector<std::pair<std::string, std::string>> environment{};
    std::vector<std::string> preload{};  // further libraries to preload
    // Process descriptors unknown, as on kernels before 5.3: pidfd_open()
    // fails with ENOSYS in the supervisor (no_pidfd.c).  Also set for every
    // supervisor when the tests run with VORN_TEST_WITHOUT_PIDFD=1.
    bool without_pidfd = false;
    bool stdout_to_pipe = false;         // standard output into a pipe (see close_stdout_reader)
    std::vector<int> ignored_signals{};  // start the supervisor with these ignored
    std::vector<std::string> wrapper{};  // command that runs the binary (valgrind ...)
    bool closed_standard_descriptors = false;  // start it with 0, 1 and 2 closed
    // Further descriptors it is started with, each open on <root>/inherited
    // (not close-on-exec), as a shell may leave them.
    std::vector<int> inherited_descriptors{};
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
    // Children that have not ended: the zombies left out.
    std::vector<pid_t> live_children() const;
    int open_descriptors() const;
    long resident_kib() const;
    void stop();
    // Ends the reading side of the standard-output pipe: later writes fail.
    void close_stdout_reader();
    // Ends the supervisor alone with SIGTERM (so that a wrapper such as
    // valgrind can write its report), waits up to the timeout for it, then
    // ends the whole process group.  True when it ended within the timeout.
    bool terminate(std::chrono::milliseconds timeout = 30s);

private:
    int stdout_reader_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string out_path_, err_path_;
    std::string cgroup_;  // the supervisor's own cgroup, "" when it has none
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

// run_program, the program started in the cgroup dir (as it is when dir is "").
program_result run_program_in(const std::string& dir, const std::vector<std::string>& args,
                              const std::vector<std::pair<std::string, std::string>>& environment,
                              const std::string& killall_log);

// A cgroup of its own for a supervisor a test starts, when the tests run as
// root on cgroup v2: the cgroups the supervisor makes lie below it, apart
// from those of any other supervisor running at the same time.  "" when
// there is none.
std::string make_test_cgroup();
// Ends what is left in the cgroup and removes it with every cgroup below
// it (the supervisor's container, its task cgroups and its leaf).
void end_test_cgroup(const std::string& dir);

// Runs a program that reads what the supervisors of the installation write
// (the checker, the control client) as run_program does, on the clock they
// share: the times in the status file mean the same to it.
program_result run_on_clock(
    const installation& inst, const std::vector<std::string>& args,
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
// A process that has ended (a zombie waiting for its reaper counts) or is gone.
bool process_gone(pid_t pid);
// The state the status file gives the task's slot, "" when it names none.
std::string status_state(const installation& inst, const std::string& name);
// Where cgroup v2 is mounted, "" when it is not.
std::string cgroup2_mount();
// Start time of the process (field 22 of /proc/<pid>/stat), 0 when it is gone.
unsigned long long process_start_time(pid_t pid);

// Samples the number of the supervisor's zombie children every 2 ms, from
// construction to destruction, and keeps the largest.
class zombie_watch {
public:
    explicit zombie_watch(const supervisor& sup);
    ~zombie_watch();
    zombie_watch(const zombie_watch&) = delete;
    zombie_watch& operator=(const zombie_watch&) = delete;
    int most() const { return most_; }
    long samples() const { return samples_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> most_{0};
    std::atomic<long> samples_{0};
    std::thread thread_;
};

// Compares the supervisor's live children with the pids its tasks logged at
// every start.  Empty when they agree, otherwise what disagrees:
// - a task with a live copy that is not its last start (a slot running twice);
// - with `running` given (the settled state): a task of that list whose last
//   start is not a live child, or a live child that is no such last start,
//   or any zombie left.
std::string table_mismatch(const supervisor& sup, const installation& inst,
                           const std::vector<std::string>& tasks,
                           const std::vector<std::string>& running = {});

// Names given to killall that are not among `names` (and calls not of the
// form killall -9 -- <name>...): empty when the
// supervisor tried to kill nothing but the test's own tasks.
std::vector<std::string> foreign_kills(const installation& inst,
                                       const std::vector<std::string>& names);

}  // namespace vorn::e2e
