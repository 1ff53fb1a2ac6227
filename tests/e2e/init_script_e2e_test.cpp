// The init.d script starting, watching and stopping the real supervisor on
// a temporary installation, under the system shell and under BusyBox.
//
// The test process makes itself a child subreaper: the supervisor that
// the script leaves in the background, and its tasks, become its children,
// so that every one of them can be reaped and, if need be, ended by pid.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

// Fields of /proc/<pid>/stat after the command name: state, ppid, group.
pid_t process_group(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    char state = 0;
    pid_t parent = 0, group = -1;
    fields >> state >> parent >> group;
    return group;
}

std::string first_argument(pid_t pid) {
    const std::string cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.substr(0, cmdline.find('\0'));
}

// Gone, or ended and waiting to be reaped.
bool ended(pid_t pid) {
    const char state = process_state(pid);
    return state == 0 || state == 'Z';
}

class init_script_e2e : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        cgroup_ = make_test_cgroup();
        worker_ = unique_name("worker");
        for (const std::string& name :
             {std::string("vorn_update"), std::string("vorn_monitor"), worker_})
            inst_.task(name, "exec sleep 1000");
        inst_.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
            {"name": ")" +
                     worker_ + R"("}]})");
        write_defaults(options() + " --status_path=" + status_file());
    }

    void TearDown() override {
        task_pids();
        for (pid_t pid : seen_) {
            if (ended(pid)) continue;
            if (process_group(pid) == pid) ::kill(-pid, SIGKILL);  // a supervisor and its tasks
            ::kill(pid, SIGKILL);
        }
        // Whatever is left has become a child of this process: reap it.
        wait_until(
            [] {
                while (::waitpid(-1, nullptr, WNOHANG) > 0) {
                }
                return ::waitpid(-1, nullptr, WNOHANG) < 0;  // ECHILD: none left
            },
            10s);
        end_test_cgroup(cgroup_);  // with the cgroups the supervisors made
    }

    void write_defaults(const std::string& options) const {
        inst_.write(defaults(), "DAEMON=" VORN_BINARY
                                "\n"
                                "CHECKER=" VORN_CHECK_BINARY
                                "\n"
                                "CTL=" VORN_CTL_BINARY
                                "\n"
                                "PIDFILE=" +
                                    pid_file() +
                                    "\n"
                                    "VORN_OPTIONS=\"" +
                                    options +
                                    "\"\n"
                                    "VORN_LOG=" +
                                    inst_.root() +
                                    "/supervisor.log\n"
                                    "STOP_SECONDS=5\n");
    }

    program_result init(const std::string& action) {
        std::vector<std::string> args;
        std::istringstream shell(GetParam());
        for (std::string word; shell >> word;) args.push_back(word);
        args.push_back(VORN_INIT_SCRIPT);
        args.push_back(action);
        return run_program_in(cgroup_, args, {{"VORN_DEFAULTS", defaults()}}, inst_.killall_log());
    }

    // Starts the supervisor through the script and waits for its tasks.
    pid_t start() {
        const program_result r = init("start");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const pid_t pid = std::atoi(read_file(pid_file()).c_str());
        EXPECT_EQ(r.out, "vorn_restart started (pid " + std::to_string(pid) + ")\n");
        seen_.insert(pid);
        EXPECT_TRUE(wait_until([&] {
            return !inst_.starts(worker_).empty() && !inst_.starts("vorn_monitor").empty() &&
                   !inst_.starts("vorn_update").empty();
        })) << read_file(inst_.root() + "/supervisor.log");
        return pid;
    }

    std::vector<pid_t> task_pids() {
        std::vector<pid_t> pids;
        for (const std::string& name :
             {std::string("vorn_update"), std::string("vorn_monitor"), worker_})
            for (pid_t pid : inst_.start_pids(name)) pids.push_back(pid);
        seen_.insert(pids.begin(), pids.end());
        return pids;
    }

    std::string options() const {
        return "-d --install_path=" + inst_.root() + " --cache_path=" + inst_.cache();
    }
    std::string defaults() const { return inst_.root() + "/defaults"; }
    std::string pid_file() const { return inst_.root() + "/vorn_restart.pid"; }
    std::string status_file() const { return inst_.root() + "/vorn_restart.status"; }

    installation inst_;
    std::string cgroup_;  // where the script runs, "" when it runs where the test does
    std::string worker_;
    std::set<pid_t> seen_;
};

TEST_P(init_script_e2e, start_status_check_stop_restart) {
    program_result r = init("status");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out.rfind("no live vorn_restart: cannot read " + status_file() + ": ", 0), 0u)
        << r.out;

    const pid_t pid = start();
    // The supervisor itself, in a process group of its own that holds its tasks.
    EXPECT_EQ(first_argument(pid), VORN_BINARY);
    EXPECT_EQ(process_group(pid), pid);
    const std::vector<pid_t> tasks = task_pids();
    ASSERT_EQ(tasks.size(), 3u);
    for (pid_t task : tasks) EXPECT_EQ(process_group(task), pid);
    EXPECT_NE(read_file(inst_.killall_log()).find("[" + worker_ + "]"), std::string::npos);
    // Its options came from the defaults file, -d included.
    EXPECT_NE(read_file(inst_.root() + "/supervisor.log").find("task_info_size: 5"),
              std::string::npos);

    // The supervisor's status file, written once its tasks run.
    EXPECT_TRUE(wait_until([&] { return init("status").status == 0; }, 10s, 200ms));
    r = init("status");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("vorn_restart pid " + std::to_string(pid) + ", up ", 0), 0u) << r.out;
    r = init("start");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vorn_restart is already running (pid " + std::to_string(pid) + ")\n");
    EXPECT_EQ(inst_.starts(worker_).size(), 1u);

    r = init("check");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(inst_.config_file() + ": usable\n", 0), 0u) << r.out;

    // reload reaches the supervisor however VORN_OPTIONS names its status file.
    for (const std::string& form :
         {"--status_path=" + status_file(), "--status_path " + status_file(),
          "--status_p " + status_file()}) {
        write_defaults(options() + " " + form);
        r = init("reload");
        EXPECT_EQ(r.status, 0) << form << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.rfind("reloaded: kept ", 0), 0u) << r.out;
    }

    r = init("stop");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "vorn_restart stopped\n");
    EXPECT_TRUE(ended(pid));
    for (pid_t task : tasks) EXPECT_TRUE(ended(task)) << task;
    EXPECT_FALSE(std::filesystem::exists(pid_file()));
    r = init("status");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("which has ended"), std::string::npos) << r.out;
    r = init("stop");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vorn_restart is not running\n");

    r = init("restart");
    EXPECT_EQ(r.status, 0) << r.err;
    const pid_t again = std::atoi(read_file(pid_file()).c_str());
    seen_.insert(again);
    EXPECT_NE(again, pid);
    EXPECT_EQ(r.out, "vorn_restart is not running\nvorn_restart started (pid " +
                         std::to_string(again) + ")\n");
    EXPECT_TRUE(wait_until([&] { return inst_.starts(worker_).size() == 2; }));
    EXPECT_TRUE(wait_until([&] { return init("status").status == 0; }, 10s, 200ms));

    // A task that has died is no "all is well": the checker says 1, and the
    // status action 0 (the supervisor runs), with the report saying why.
    const pid_t worker = task_pids().back();
    ::kill(worker, SIGKILL);
    EXPECT_TRUE(wait_until([&] { return process_state(worker) == 'Z'; }));
    const program_result check =
        run_program({VORN_CHECK_BINARY, "--status", "--status_path=" + status_file()});
    EXPECT_EQ(check.status, 1) << check.out;
    r = init("status");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("slot 2, " + worker_ + ": "), std::string::npos) << r.out;
    r = init("stop");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ended(again));
}

TEST_P(init_script_e2e, supervisor_that_ends_at_once_is_reported) {
    write_defaults("--install_path=" + inst_.root() + "/missing");
    program_result r = init("start");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("vorn_restart: ended at once"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(pid_file()));
    // The supervisor's own report of the settings went to the log.
    EXPECT_NE(read_file(inst_.root() + "/supervisor.log")
                  .find("install_path: " + inst_.root() + "/missing/"),
              std::string::npos);
    r = init("check");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("/missing/ does not exist"), std::string::npos) << r.err;
    r = init("status");  // the checker cannot use the options: the status is not known
    EXPECT_EQ(r.status, 4);
    r = init("bogus");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage: "), std::string::npos);
}

TEST_P(init_script_e2e, stale_pid_file_is_not_taken_for_the_supervisor) {
    // A pid file naming a live process that is not the supervisor: this test.
    inst_.write(pid_file(), std::to_string(::getpid()) + "\n");
    program_result r = init("status");
    EXPECT_EQ(r.status, 3);
    r = init("stop");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vorn_restart is not running\n");
    EXPECT_FALSE(std::filesystem::exists(pid_file()));
}

INSTANTIATE_TEST_SUITE_P(shells, init_script_e2e, ::testing::Values("sh", "busybox sh"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                             return std::string(param_info.param) == "sh" ? "sh" : "busybox";
                         });

}  // namespace
}  // namespace vorn::e2e
