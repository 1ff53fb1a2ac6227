// The real binary on a temporary installation: start-up, restarts and the
// updater's exit statuses.
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

const char* const long_running = "exec sleep 1000";

TEST(supervisor_e2e, builtin_tasks_start_with_exactly_the_setting_arguments) {
    installation inst;
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.config(R"({"tasks": []})");
    supervisor sup(inst, {.extra_arguments = {"--cache_path=" + inst.cache()},
                          .environment = {{"LD_LIBRARY_PATH", "/opt/test/lib"}}});
    const std::string update_env = inst.root() + "/log/vorn_update.env";
    const std::string monitor_env = inst.root() + "/log/vorn_monitor.env";
    // The environment line is the last thing each script writes before it sleeps.
    ASSERT_TRUE(wait_until([&] {
        return !read_lines(update_env).empty() && !read_lines(monitor_env).empty();
    })) << sup.err();

    const std::string settings =
        " --install_path=" + inst.root() + "/ --cache_path=" + inst.cache() + "/";
    for (const char* name : {"vorn_update", "vorn_monitor"}) {
        SCOPED_TRACE(name);
        const std::string line = inst.starts(name)[0];
        EXPECT_EQ(line.substr(line.find(' ')), settings);
        EXPECT_EQ(read_lines(inst.root() + "/log/" + name + ".env")[0].substr(0, 14),
                  "/opt/test/lib ");
    }
    EXPECT_EQ(sup.err().substr(0, sup.err().find('\n') + 1),
              "install_path: " + inst.root() + "/, config_path=" + inst.root() +
                  "/etc/vorn/vorn_restart/, sbin_path=" + inst.root() +
                  "/usr/sbin/, cache_path=" + inst.cache() + "/\n");
    const auto calls = inst.killall_calls();
    // One run for the built-in names; no configured task, no second run.
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "[-9][--][vorn_update][vorn_monitor]");
    EXPECT_NE(sup.out().find("task_info_size: 2\n\nstdout_stderr_fd: 0\n\n"), std::string::npos);
    // Long-running tasks are started once and left alone.
    EXPECT_EQ(inst.starts("vorn_update").size(), 1u);
}

TEST(supervisor_e2e, ended_task_is_started_again) {
    installation inst;
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", "exit 3");
    inst.config(R"({"tasks": []})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return inst.starts("vorn_monitor").size() >= 3; })) << sup.err();
    const auto pids = inst.start_pids("vorn_monitor");
    EXPECT_NE(pids[0], pids[1]);
    EXPECT_EQ(inst.starts("vorn_update").size(), 1u);
    EXPECT_TRUE(sup.running());
}

TEST(supervisor_e2e, updater_exit_0_kills_tasks_and_begins_a_new_turn) {
    installation inst;
    inst.task("vorn_update", "sleep 0.3; exit 0");
    inst.task("vorn_monitor", long_running);
    inst.config(R"({"tasks": []})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return inst.starts("vorn_monitor").size() >= 2; })) << sup.err();
    EXPECT_NE(sup.err().find("kill vorn_monitor\n"), std::string::npos);
    EXPECT_GE(count_of(sup.out(), "task_info_size: 2\n"), 2u);
    // The killed monitor is gone (reaped, or at worst a zombie awaiting its reap).
    const pid_t first = inst.start_pids("vorn_monitor")[0];
    EXPECT_TRUE(wait_until([&] { return process_state(first) != 'S'; }));
    // Every turn kills stale copies by name again.
    EXPECT_GE(count_of(read_file(inst.killall_log()), "[vorn_monitor]"), 2u);
}

TEST(supervisor_e2e, updater_exit_1_restarts_only_system_tasks) {
    installation inst;
    const std::string worker = unique_name("worker");
    const std::string other = unique_name("other");
    // The updater exits 1 on its first run and keeps running afterwards.
    inst.task("vorn_update", "[ $(wc -l < '" + inst.root() +
                                 "/log/vorn_update.log') -gt 1 ] && exec sleep 1000\n"
                                 "sleep 0.3; exit 1");
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    inst.task(other, long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update", "system": 1}, {"name": "vorn_monitor"},
                              {"name": ")" +
                worker + R"(", "system": 0},
                              {"name": ")" +
                other + R"(", "system": 2}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] {
        return inst.starts("vorn_update").size() >= 2 && inst.starts("vorn_monitor").size() >= 2;
    })) << sup.err();
    EXPECT_NE(sup.err().find("kill vorn_monitor...........................\n"), std::string::npos);
    EXPECT_EQ(sup.err().find("kill " + worker), std::string::npos);
    EXPECT_EQ(inst.starts(worker).size(), 1u);
    EXPECT_EQ(inst.starts(other).size(), 1u);
    EXPECT_EQ(count_of(sup.out(), "task_info_size:"), 1u);  // still the first turn
}

TEST(supervisor_e2e, failed_exec_is_reported_and_retried) {
    installation inst;
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                              {"name": "ghost"}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] {
        return count_of(sup.err(), "execlp(ghost, ghost): No such file or directory\n") >= 3;
    })) << sup.err();
    EXPECT_EQ(inst.starts("vorn_monitor").size(), 1u);
    EXPECT_TRUE(sup.running());
}

// Without -d, standard error carries the start-up line alone, at a start
// and with a file it cannot use, whatever the kernel answers to the
// supervisor's OOM protection (refused here, to root without
// CAP_SYS_RESOURCE): the status file says that.
TEST(supervisor_e2e, without_debug_everything_goes_to_the_null_device) {
    for (const bool usable : {true, false}) {
        SCOPED_TRACE(usable ? "a start" : "an unusable file");
        installation inst;
        inst.task("vorn_update", "echo chatter; " + std::string(long_running));
        inst.task("vorn_monitor", "echo chatter >&2; exit 0");
        inst.config(usable ? R"({"tasks": []})" : R"({"tasks": 7})");
        supervisor sup(inst, {.debug = false});
        const std::string update_env = inst.root() + "/log/vorn_update.env";
        ASSERT_TRUE(wait_until([&] {
            if (!usable) return count_of(read_file(inst.event_log()), "sleep 30") >= 2;
            return inst.starts("vorn_monitor").size() >= 2 && !read_lines(update_env).empty();
        }));
        EXPECT_EQ(sup.out(), "");
        EXPECT_EQ(sup.err(), "install_path: " + inst.root() + "/, config_path=" + inst.root() +
                                 "/etc/vorn/vorn_restart/, sbin_path=" + inst.root() +
                                 "/usr/sbin/, cache_path=\n");
        const std::string status = read_file(inst.status_file());
        const bool said =
            status.find(R"("oom_protection":{"works":true,"problem":null})") != std::string::npos ||
            status.find(R"("oom_protection":{"works":false,"problem":"Permission )"
                        R"(denied"})") != std::string::npos;
        EXPECT_TRUE(said || ::geteuid() != 0) << status;
        EXPECT_TRUE(!usable || read_lines(update_env)[0] == "unset /dev/null");
        EXPECT_TRUE(sup.running());
    }
}

TEST(supervisor_e2e, closed_standard_descriptors_are_opened_on_the_null_device) {
    installation inst;
    // Each descriptor of the task: what it is, and its access mode.
    const std::string fds = inst.root() + "/fds";
    inst.task("vorn_update",
              "exec 3> '" + fds +
                  ".tmp'\nfor fd in 0 1 2; do printf '%s %s\\n' "
                  "\"$(readlink /proc/$$/fd/$fd)\" \"$(sed -n 's/^flags:[[:space:]]*//p' "
                  "/proc/$$/fdinfo/$fd)\" >&3; done\nexec 3>&-\nmv '" +
                  fds + ".tmp' '" + fds + "'\n" + long_running);
    inst.task("vorn_monitor", long_running);
    inst.config(R"({"tasks": []})");
    supervisor sup(inst, {.debug = false, .closed_standard_descriptors = true});
    ASSERT_TRUE(wait_until([&] { return read_lines(fds).size() == 3; }));
    const auto lines = read_lines(fds);
    for (int fd = 0; fd < 3; ++fd) {
        SCOPED_TRACE(fd);
        const std::string& line = lines[static_cast<std::size_t>(fd)];
        ASSERT_EQ(line.rfind("/dev/null ", 0), 0u) << line;
        const int access = line.back() - '0';
        EXPECT_EQ(access & 3, fd == 0 ? 0 : 1) << line;  // O_RDONLY in, O_WRONLY out
    }
    EXPECT_TRUE(sup.running());
}

TEST(supervisor_e2e, tasks_get_no_descriptor_but_their_own) {
    // Started from a shell holding descriptors 3 (the first after the
    // standard ones), 10 and 251, with systemd's
    // socket, task logs and /dev/null as its watchdog, which it refuses.
    installation inst;
    const std::string fds = inst.root() + "/fds";
    inst.task("vorn_update", long_running);
    // Listed by a subshell, which redirects its own output, not the shell's.
    inst.task("vorn_monitor", "(ls -l /proc/$$/fd > '" + fds + ".tmp'; mv '" + fds + ".tmp' '" +
                                  fds + "') & wait\n" + long_running);
    inst.config(R"({"tasks": []})");
    supervisor sup(inst, {.debug = false,
                          .extra_arguments = {"--watchdog=/dev/null", "--log_path=" + inst.root()},
                          .environment = {{"NOTIFY_SOCKET", inst.root() + "/notify"}},
                          .inherited_descriptors = {3, 10, 251}});
    ASSERT_TRUE(wait_until([&] { return !read_lines(fds).empty(); })) << sup.err();
    EXPECT_NE(sup.err().find(": cannot use the watchdog /dev/null: not a watchdog"),
              std::string::npos);
    // 0, 1 and 2, the null device of the turn and the script the shell reads.
    const std::string listing = read_file(fds);
    EXPECT_EQ(count_of(listing, " -> "), 5u) << listing;
    EXPECT_EQ(count_of(listing, " 0 -> /dev/null\n"), 1u) << listing;
    EXPECT_EQ(count_of(listing, " -> /dev/null\n"), 2u) << listing;
    EXPECT_EQ(count_of(listing, " -> " + inst.root() + "/vorn_monitor.log\n"), 2u) << listing;
}

TEST(supervisor_e2e, pending_updater_is_moved_into_place_before_the_start) {
    installation inst;
    inst.task("vorn_update", "exec sleep 1001");
    inst.write(inst.sbin() + "vorn_update.tmp",
               "#!/bin/sh\necho new >> '" + inst.root() + "/log/new.log'\nexec sleep 1000\n", true);
    inst.task("vorn_monitor", long_running);
    inst.config(R"({"tasks": []})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return !read_lines(inst.root() + "/log/new.log").empty(); }));
    EXPECT_EQ(sup.out().substr(0, sup.out().find('\n') + 1),
              inst.sbin() + "vorn_update.tmp found, rename to " + inst.sbin() + "vorn_update\n");
    EXPECT_TRUE(inst.starts("vorn_update").empty());
}

// What the allocation-counting library has counted so far, -1 before it wrote.
long allocation_count(const std::string& counter) {
    const std::string bytes = read_file(counter);
    long n = -1;
    if (bytes.size() == sizeof n) std::memcpy(&n, bytes.data(), sizeof n);
    return n;
}

TEST(supervisor_e2e, supervision_passes_allocate_no_memory) {
    // Every path a pass can take, over and over: a task that ends at once
    // (start, reap, restart), an updater exiting with 1 (the dotted kill
    // lines), a task held back by its marker (the not-run line), a missing
    // executable (the forked child reports and exits).  Only the turn, with
    // its configuration document, may use the heap.
    installation inst;
    const std::string held = unique_name("held");
    const std::string quick = unique_name("quick");
    const std::string counter = inst.root() + "/allocations";
    const marker held_marker(held);
    held_marker.create();
    inst.task("vorn_update", "exit 1");
    inst.task("vorn_monitor", long_running);
    inst.task(quick, "exit 3");
    inst.task(held, long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" +
                quick + R"("}, {"name": ")" + held + R"("}, {"name": "ghost"}]})");
    // With the status file off: a pass that restarts a task writes it.
    supervisor sup(inst, {.extra_arguments = {"--status_path="},
                          .environment = {{"VORN_TEST_ALLOC_COUNT", counter}},
                          .preload = {VORN_COUNT_ALLOC}});
    const auto allocations = [&] { return allocation_count(counter); };
    ASSERT_TRUE(wait_until([&] { return inst.starts(quick).size() >= 2; })) << sup.err();
    const long after_turn = allocations();
    EXPECT_GT(after_turn, 0);  // the configuration document: the counter counts
    ASSERT_TRUE(wait_until([&] { return inst.starts(quick).size() >= 8; })) << sup.err();
    EXPECT_EQ(allocations(), after_turn);
    EXPECT_GE(count_of(sup.err(), "kill vorn_monitor...........................\n"), 2u);
    EXPECT_GE(count_of(sup.out(), held + " not run: /tmp/." + held + ".nr\n"), 2u);
    EXPECT_GE(count_of(sup.err(), "execlp(ghost, ghost): "), 2u);
    EXPECT_EQ(count_of(sup.out(), "task_info_size:"), 1u);  // all in the first turn
    EXPECT_FALSE(std::filesystem::exists(inst.status_file()));
}

TEST(supervisor_e2e, idle_passes_write_no_status_and_allocate_nothing) {
    installation inst;
    const std::string held = unique_name("held");
    const std::string counter = inst.root() + "/allocations";
    const marker held_marker(held);
    held_marker.create();
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(held, long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                held + R"("}]})");
    supervisor sup(
        inst, {.environment = {{"VORN_TEST_ALLOC_COUNT", counter}}, .preload = {VORN_COUNT_ALLOC}});
    const std::string not_run = held + " not run: ";
    ASSERT_TRUE(wait_until([&] { return count_of(sup.out(), not_run) >= 2; })) << sup.err();
    const long before = allocation_count(counter);
    EXPECT_GT(before, 0);
    struct stat written {};
    ASSERT_EQ(::stat(inst.status_file().c_str(), &written), 0);
    const std::string document = read_file(inst.status_file());
    const std::size_t passes = count_of(sup.out(), not_run);
    ASSERT_TRUE(wait_until([&] { return count_of(sup.out(), not_run) >= passes + 4; }));
    EXPECT_EQ(allocation_count(counter), before);
    // The same file, not written again: only its pass mark, the time since
    // boot, moves on.
    // The mark is the supervisor's boot clock (the installation's, sped up)
    // at its last pass: a pass and a little before now at most.
    const long long clock_before = inst.boot_seconds();
    struct stat now {};
    ASSERT_EQ(::stat(inst.status_file().c_str(), &now), 0);
    EXPECT_LE(now.st_mtim.tv_sec, inst.boot_seconds());
    EXPECT_GE(now.st_mtim.tv_sec, clock_before - 10) << "clock at " << clock_before;
    EXPECT_EQ(now.st_ino, written.st_ino);
    EXPECT_EQ(read_file(inst.status_file()), document);
    EXPECT_GE(now.st_mtim.tv_sec, written.st_mtim.tv_sec);
}

TEST(supervisor_e2e, bad_command_lines_end_the_program) {
    installation inst;
    struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--bogus"}, 2},
        {{"--help"}, 0},
        {{"--install_path=/no/such/root"}, 255},
    };
    for (auto& c : cases) {
        supervisor sup(inst, {.extra_arguments = c.args});
        ASSERT_TRUE(wait_until([&] { return !sup.running(); }));
        EXPECT_TRUE(WIFEXITED(sup.exit_status()));
        EXPECT_EQ(WEXITSTATUS(sup.exit_status()), c.status) << c.args[0];
    }
}

// SIGPIPE as a task sees it: "ignored" or "default".
std::string sigpipe_of_task(const installation& inst, const std::string& name) {
    for (const std::string& line : read_lines(inst.root() + "/log/" + name + ".sig")) {
        const unsigned long mask = std::stoul(line.substr(line.find(':') + 1), nullptr, 16);
        return (mask & (1UL << (SIGPIPE - 1))) ? "ignored" : "default";
    }
    return "";
}

TEST(supervisor_e2e, broken_output_pipe_does_not_end_the_supervisor) {
    installation inst;
    const std::string sig_log = inst.root() + "/log/vorn_monitor.sig";
    inst.task("vorn_update", "sleep 0.1; exit 0");
    inst.task("vorn_monitor", "grep SigIgn /proc/$$/status >> '" + sig_log + "'; exec sleep 1000");
    inst.config(R"({"tasks": []})");
    supervisor sup(inst, {.stdout_to_pipe = true});
    ASSERT_TRUE(wait_until([&] { return !sigpipe_of_task(inst, "vorn_monitor").empty(); }));
    sup.close_stdout_reader();  // every later dump hits a broken pipe
    const std::size_t turns = inst.starts("vorn_update").size();
    ASSERT_TRUE(wait_until([&] { return inst.starts("vorn_update").size() >= turns + 3; }))
        << sup.err();
    EXPECT_TRUE(sup.running());
    // Tasks still get the disposition the supervisor was started with.
    EXPECT_EQ(sigpipe_of_task(inst, "vorn_monitor"), "default");
}

TEST(supervisor_e2e, tasks_inherit_an_ignored_sigpipe_unchanged) {
    installation inst;
    const std::string sig_log = inst.root() + "/log/vorn_monitor.sig";
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", "grep SigIgn /proc/$$/status >> '" + sig_log + "'; exec sleep 1000");
    inst.config(R"({"tasks": []})");
    supervisor sup(inst, {.ignored_signals = {SIGPIPE}});
    ASSERT_TRUE(wait_until([&] { return !sigpipe_of_task(inst, "vorn_monitor").empty(); }));
    EXPECT_EQ(sigpipe_of_task(inst, "vorn_monitor"), "ignored");
}

// Started with SIGCHLD ignored, the kernel would reap the children itself
// and the supervisor could never see one end.
TEST(supervisor_e2e, ended_task_is_restarted_even_when_started_with_sigchld_ignored) {
    installation inst;
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", "exit 0");
    inst.config(R"({"tasks": []})");
    supervisor sup(inst, {.ignored_signals = {SIGCHLD}});
    ASSERT_TRUE(wait_until([&] { return inst.starts("vorn_monitor").size() >= 3; })) << sup.err();
}

// The kills when the updater exits 0 end each task's whole unit: what the
// task started in the background goes with it, in a cgroup and as a tree.
TEST(supervisor_e2e, a_turns_kill_ends_what_the_task_started) {
    for (const bool cgroups : {true, false}) {
        SCOPED_TRACE(cgroups ? "in a cgroup" : "as a process tree");
        if (cgroups && (::geteuid() != 0 || cgroup2_mount().empty())) {
            std::printf("skipped: task cgroups need root and a cgroup2 file system\n");
            continue;
        }
        installation inst;
        const std::string worker = unique_name("worker");
        const std::string helpers = inst.root() + "/helpers";
        inst.task("vorn_update", "[ -e " + inst.root() + "/again ] && exec sleep 1000\ntouch " +
                                     inst.root() + "/again; sleep 0.5; exit 0");
        inst.task("vorn_monitor", long_running);
        inst.task(worker, "sleep 1000 & echo $! >> " + helpers + "; exec sleep 999");
        inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                                  {"name": ")" +
                    worker + R"("}]})");
        std::vector<std::string> args;
        if (!cgroups) args.push_back("--no_task_cgroups");
        supervisor sup(inst, run_options{.extra_arguments = args});
        ASSERT_TRUE(wait_until([&] { return inst.starts(worker).size() >= 2; })) << sup.err();
        const pid_t first_helper = std::stoi(read_file(helpers));
        EXPECT_TRUE(wait_until([&] { return process_gone(first_helper); }));
    }
}

program_result ctl(const installation& inst, const std::vector<std::string>& args) {
    std::vector<std::string> line{VORN_CTL_BINARY, "--status_path=" + inst.status_file()};
    line.insert(line.end(), args.begin(), args.end());
    return run_on_clock(inst, line, {}, inst.killall_log());
}

// The updater, the monitor and the task `name` running `body`, its
// processes in a cgroup or followed as a process tree; false (said) when
// this machine cannot give it a cgroup.
bool unit_task(const installation& inst, const std::string& name, const std::string& body,
               bool cgroups, run_options& options) {
    if (cgroups && (::geteuid() != 0 || cgroup2_mount().empty())) {
        std::printf("skipped: task cgroups need root and a cgroup2 file system\n");
        return false;
    }
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(name, body);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                name + R"("}]})");
    if (!cgroups) options.extra_arguments.push_back("--no_task_cgroups");
    return true;
}

// stop ends a unit of 200 processes, each of them given one SIGTERM before
// its SIGKILL at the end of the grace (in a cgroup and as a process tree).
TEST(supervisor_e2e, stop_signals_each_process_of_a_large_unit_once) {
    for (const bool cgroups : {true, false}) {
        SCOPED_TRACE(cgroups ? "in a cgroup" : "as a process tree");
        installation inst;
        const std::string name = unique_name("large");
        const std::string terms = inst.root() + "/terms", started = inst.root() + "/started";
        // 100 ms a second: the 1 s an end may take after SIGKILL is 100 ms
        // here, time for 200 processes to end under an emulator too.
        run_options options{.environment = {{"VORN_TEST_MS_PER_SECOND", "100"}}};
        if (!unit_task(inst, name,
                       std::string("exec ") + VORN_TERM_LOG + " 200 " + terms + " " + started,
                       cgroups, options))
            continue;
        supervisor sup(inst, options);
        ASSERT_TRUE(wait_until([&] { return read_lines(started).size() == 200; })) << sup.err();
        const program_result r = ctl(inst, {"--grace=10", "stop", name});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        std::map<std::string, int> signalled;
        for (const std::string& pid : read_lines(terms)) ++signalled[pid];
        for (const std::string& pid : read_lines(started)) {
            EXPECT_EQ(signalled[pid], 1) << "SIGTERMs to child " << pid;
            EXPECT_TRUE(wait_until([&] { return process_gone(std::stoi(pid)); })) << pid;
        }
    }
}

// A process of this test's at pid `target` once that pid is free (taken
// through ns_last_pid), and a child of its own: {0, 0} when it cannot be had.
std::pair<pid_t, pid_t> take_pid(pid_t target) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::ofstream last("/proc/sys/kernel/ns_last_pid");
        last << target - 1 << std::flush;
        int fds[2];
        if (!last || ::pipe(fds) != 0) return {};
        const pid_t pid = ::fork();
        if (pid == 0) {
            const pid_t child = ::fork();
            if (child > 0 && ::write(fds[1], &child, sizeof child) != sizeof child) ::_exit(1);
            for (;;) ::pause();
        }
        ::close(fds[1]);
        pid_t child = 0;
        const bool told = pid > 0 && ::read(fds[0], &child, sizeof child) == sizeof child;
        ::close(fds[0]);
        if (pid == target && told) return {pid, child};
        if (told) ::kill(child, SIGKILL);
        if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    }
    return {};
}

// A member of the unit ends at its SIGTERM and its pid is taken by a
// process that is not the task's, with a child of its own: the SIGKILL at
// the end of the grace reaches neither (stop and restart, in a cgroup and
// as a process tree).
TEST(supervisor_e2e, a_pid_that_came_round_again_is_never_signalled) {
    if (::geteuid() != 0 || ::access("/proc/sys/kernel/ns_last_pid", W_OK) != 0)
        GTEST_SKIP() << "a pid is taken again through ns_last_pid, which takes root";
    for (const auto& [verb, cgroups] :
         {std::pair{"stop", false}, {"restart", false}, {"stop", true}, {"restart", true}}) {
        SCOPED_TRACE(std::string(verb) + (cgroups ? " in a cgroup" : " as a tree"));
        installation inst;
        const std::string name = unique_name("reused"), member_file = inst.root() + "/member";
        run_options options;
        if (!unit_task(inst, name,
                       "sleep 1000 & echo $! > " + member_file +
                           "\ntrap '' TERM\nwhile :; do sleep 0.05; done",
                       cgroups, options))
            continue;
        supervisor sup(inst, options);
        ASSERT_TRUE(wait_until([&] { return !read_file(member_file).empty(); })) << sup.err();
        const pid_t member = std::stoi(read_file(member_file));
        program_result r;
        std::thread command([&] { r = ctl(inst, {"--grace=300", verb, name}); });
        const std::string proc = "/proc/" + std::to_string(member);
        const bool ended = wait_until([&] { return ::access(proc.c_str(), F_OK) != 0; });
        const auto [other, child] = ended ? take_pid(member) : std::pair<pid_t, pid_t>{};
        command.join();
        EXPECT_TRUE(ended) << "the member did not end at its SIGTERM";
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        if (other == 0) {
            std::printf("pid %d could not be taken again: not tried\n", static_cast<int>(member));
            continue;
        }
        EXPECT_FALSE(process_gone(child)) << "the child of the process at the member's pid";
        EXPECT_FALSE(process_gone(other));
        ::kill(child, SIGKILL);
        ::kill(other, SIGKILL);
        ::waitpid(other, nullptr, 0);
    }
}

}  // namespace
}  // namespace vorn::e2e
