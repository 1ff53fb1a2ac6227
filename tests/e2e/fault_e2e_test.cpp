// Fault injection on the real binary: fork failing, tasks that cannot run,
// children ended by signals, crash-looping and flapping updaters, a broken
// configuration file and markers coming and going.  In every case the
// supervisor must keep running, its children must match its table (no slot
// running twice, every slot back to one live child once the fault is gone),
// zombies must stay within a small bound, and killall must only ever be
// asked about the test's own tasks.
//
// Tasks that misbehave check for the file "calm" in the installation root
// first and run quietly once it exists: each test ends its fault that way
// and then checks the settled state.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

const char* const long_running = "exec sleep 1000";
const std::string fork_failed_line = "fork: Resource temporarily unavailable\n";

// A task body that misbehaves until the test creates <root>/calm.
std::string until_calm(const installation& inst, const std::string& fault) {
    return "[ -e '" + inst.root() + "/calm' ] && exec sleep 1000\n" + fault;
}

void calm(const installation& inst) { inst.write(inst.root() + "/calm", ""); }

std::size_t count_events(const installation& inst, const std::string& event) {
    std::size_t n = 0;
    for (const std::string& line : inst.events()) n += line == event;
    return n;
}

std::vector<std::string> with_builtins(std::vector<std::string> names) {
    names.insert(names.begin(), {"vorn_update", "vorn_monitor"});
    return names;
}

std::string config_of(const std::vector<std::string>& names) {
    std::string json = R"({"tasks": [)";
    for (std::size_t i = 0; i < names.size(); ++i)
        json += (i ? ", " : "") + std::string(R"({"name": ")") + names[i] + R"("})";
    return json + "]}";
}

// A slot running twice shows for good; a child killed a moment ago may
// still be on its way out, so a mismatch counts only when it lasts.
std::string lasting_mismatch(const supervisor& sup, const installation& inst,
                             const std::vector<std::string>& tasks) {
    if (table_mismatch(sup, inst, tasks).empty()) return "";
    std::this_thread::sleep_for(100ms);
    return table_mismatch(sup, inst, tasks);
}

// One supervisor on a fresh installation, and what every fault test
// checks at its end.
class fault_e2e : public ::testing::Test {
protected:
    // Configures the built-in tasks followed by `names` (or `config`, when
    // given) and starts the supervisor with a zombie watch on it.  The test
    // writes the task scripts first.
    void start(const std::vector<std::string>& names, run_options options = {},
               const std::string& config = "") {
        tasks = with_builtins(names);
        inst.config(config.empty() ? config_of(tasks) : config);
        sup = std::make_unique<supervisor>(inst, std::move(options));
        zombies = std::make_unique<zombie_watch>(*sup);
    }

    // After the fault is gone: still running, exactly the last start of
    // each task alive as a child of the supervisor and no zombie left,
    // zombies within the bound throughout, killall asked about nothing but
    // the test's own tasks.  `running` are the tasks that run once the
    // fault is gone (all by default).
    void expect_survived(int zombie_bound, std::vector<std::string> running = {}) {
        if (running.empty()) running = tasks;
        EXPECT_TRUE(sup->running());
        std::string why;
        EXPECT_TRUE(wait_until([&] {
            why = table_mismatch(*sup, inst, tasks, running);
            return why.empty();
        })) << why;
        EXPECT_GT(zombies->samples(), 10);
        EXPECT_LE(zombies->most(), zombie_bound);
        std::printf("zombies: at most %d in %ld samples (bound %d)\n", zombies->most(),
                    zombies->samples(), zombie_bound);
        EXPECT_EQ(foreign_kills(inst, tasks), std::vector<std::string>{});
    }

    installation inst;
    std::vector<std::string> tasks;
    std::unique_ptr<supervisor> sup;
    std::unique_ptr<zombie_watch> zombies;
};

// Each injected fork failure is followed by the pass's sleep: the start
// pass gives up at the first failure instead of trying the other slots.
void expect_one_failure_per_pass(const std::vector<std::string>& events, std::size_t from) {
    for (std::size_t i = from; i < events.size(); ++i)
        if (events[i] == "fork failed") {
            ASSERT_LT(i + 1, events.size());
            EXPECT_EQ(events[i + 1], "sleep 5") << "event " << i;
        }
}

run_options failing_fork(const installation& inst, int failures, bool from_start) {
    run_options options;
    options.preload = {VORN_FAIL_FORK};
    options.environment = {{"VORN_TEST_FORK_FAILURES", std::to_string(failures)}};
    if (!from_start)
        options.environment.push_back({"VORN_TEST_FORK_TRIGGER", inst.root() + "/fork_trigger"});
    return options;
}

TEST_F(fault_e2e, fork_failing_from_the_start_holds_every_start_back) {
    const std::string first = unique_name("first"), second = unique_name("second");
    for (const std::string& name : with_builtins({first, second})) inst.task(name, long_running);
    // The kill-by-name runs do not fork (they are spawned), so the failures
    // meet the first start of each of four passes.
    start({first, second}, failing_fork(inst, 4, true));
    ASSERT_TRUE(wait_until([&] {
        for (const std::string& name : tasks)
            if (inst.starts(name).empty()) return false;
        return true;
    })) << sup->err();
    EXPECT_EQ(count_of(sup->err(), fork_failed_line), 4u);
    std::string configured = "[-9][--]";
    for (const std::string& name : tasks) configured += "[" + name + "]";
    // Stale copies were still killed, once each, in one run per group.
    EXPECT_EQ(inst.killall_calls(),
              (std::vector<std::string>{"[-9][--][vorn_update][vorn_monitor]", configured}));
    const auto events = inst.events();
    ASSERT_GE(events.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 8),
              (std::vector<std::string>{"fork failed", "sleep 5", "fork failed", "sleep 5",
                                        "fork failed", "sleep 5", "fork failed", "sleep 5"}));
    // Once fork works every task is started, and only once.
    ASSERT_TRUE(wait_until([&] { return count_events(inst, "sleep 5") >= 10; }));
    for (const std::string& name : tasks) EXPECT_EQ(inst.starts(name).size(), 1u) << name;
    // No task ends; only a kill-by-name run may be seen between its end and its wait.
    expect_survived(1);
}

TEST_F(fault_e2e, fork_failing_mid_run_changes_no_slot) {
    const std::string a = unique_name("quick_a"), b = unique_name("quick_b");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(a, until_calm(inst, "exit 0"));
    inst.task(b, until_calm(inst, "exit 0"));
    start({a, b}, failing_fork(inst, 3, false));
    ASSERT_TRUE(
        wait_until([&] { return inst.starts(a).size() >= 3 && inst.starts(b).size() >= 3; }));
    const std::size_t before = inst.events().size();
    inst.write(inst.root() + "/fork_trigger", "");
    ASSERT_TRUE(wait_until([&] { return count_of(sup->err(), fork_failed_line) == 3; }))
        << sup->err();
    const std::size_t a_then = inst.starts(a).size(), b_then = inst.starts(b).size();
    ASSERT_TRUE(wait_until([&] {
        return inst.starts(a).size() >= a_then + 2 && inst.starts(b).size() >= b_then + 2;
    }));
    EXPECT_EQ(count_of(sup->err(), fork_failed_line), 3u);
    expect_one_failure_per_pass(inst.events(), before);
    // The long-running tasks were never touched.
    EXPECT_EQ(inst.starts("vorn_update").size(), 1u);
    EXPECT_EQ(inst.starts("vorn_monitor").size(), 1u);
    EXPECT_EQ(lasting_mismatch(*sup, inst, tasks), "");
    calm(inst);
    expect_survived(2);
}

// A task whose executable cannot be run, and the reason execvp gives.
struct unrunnable {
    const char* kind;
    std::function<void(const installation&, const std::string& name)> make;
    const char* reason;
};

void PrintTo(const unrunnable& u, std::ostream* os) { *os << u.kind; }

class unrunnable_task : public fault_e2e, public ::testing::WithParamInterface<unrunnable> {};

TEST_P(unrunnable_task, is_reported_and_retried_every_pass_or_two) {
    const std::string bad = unique_name("bad");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    GetParam().make(inst, bad);
    start({bad});
    const std::string line = "execlp(" + bad + ", " + bad + "): " + GetParam().reason + "\n";
    ASSERT_TRUE(wait_until([&] { return count_of(sup->err(), line) >= 10; })) << sup->err();
    // A failed start is reaped in the same pass or the next one and started
    // again in the pass after: at least one try every two passes, never
    // more than one a pass.
    const std::size_t passes_before = count_events(inst, "sleep 5");
    const std::size_t tries = count_of(sup->err(), line);
    const std::size_t passes_after = count_events(inst, "sleep 5");
    EXPECT_GE(2 * tries + 3, passes_before) << tries << " tries in " << passes_before << " passes";
    EXPECT_LE(tries, passes_after + 1) << tries << " tries in " << passes_after << " passes";
    std::printf("%s: %zu tries in %zu passes\n", GetParam().kind, tries, passes_after);
    EXPECT_EQ(count_of(sup->err(), "execlp("), count_of(sup->err(), line));
    EXPECT_EQ(inst.starts("vorn_update").size(), 1u);
    EXPECT_EQ(inst.starts("vorn_monitor").size(), 1u);
    expect_survived(1, with_builtins({}));
}

INSTANTIATE_TEST_SUITE_P(
    fault_e2e, unrunnable_task,
    ::testing::Values(unrunnable{"missing", [](const installation&, const std::string&) {},
                                 "No such file or directory"},
                      unrunnable{"not_executable",
                                 [](const installation& inst, const std::string& name) {
                                     inst.write(inst.sbin() + name, "#!/bin/sh\nexit 0\n", false);
                                 },
                                 "Permission denied"},
                      unrunnable{"directory",
                                 [](const installation& inst, const std::string& name) {
                                     std::filesystem::create_directory(inst.sbin() + name);
                                 },
                                 "Permission denied"},
                      unrunnable{"bad_interpreter",
                                 [](const installation& inst, const std::string& name) {
                                     inst.write(inst.sbin() + name,
                                                "#!/no/such/interpreter\nexit 0\n", true);
                                 },
                                 "No such file or directory"}),
    [](const auto& param_info) { return std::string(param_info.param.kind); });

TEST_F(fault_e2e, children_ended_by_signals_or_at_once_are_restarted) {
    const std::string killed = unique_name("sigkill"), segv = unique_name("sigsegv"),
                      quick = unique_name("quick");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(killed, until_calm(inst, "kill -KILL $$"));
    inst.task(segv, until_calm(inst, "kill -SEGV $$"));
    inst.task(quick, until_calm(inst, "exit 0"));
    start({killed, segv, quick});
    std::vector<std::string> mismatches;
    ASSERT_TRUE(wait_until([&] {
        if (std::string why = lasting_mismatch(*sup, inst, tasks); !why.empty())
            mismatches.push_back(why);
        return inst.starts(killed).size() >= 8 && inst.starts(segv).size() >= 8 &&
               inst.starts(quick).size() >= 8;
    })) << sup->err();
    EXPECT_EQ(mismatches, std::vector<std::string>{});
    EXPECT_EQ(inst.starts("vorn_update").size(), 1u);
    EXPECT_EQ(inst.starts("vorn_monitor").size(), 1u);
    EXPECT_EQ(count_of(sup->out(), "task_info_size:"), 1u);  // all in one turn
    calm(inst);
    // At most one unreaped child per looping slot.
    expect_survived(3);
}

TEST_F(fault_e2e, crash_looping_updater_is_restarted_alone) {
    const std::string worker = unique_name("worker");
    inst.task("vorn_update", until_calm(inst, "kill -SEGV $$"));
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    start({worker});
    ASSERT_TRUE(wait_until([&] { return inst.starts("vorn_update").size() >= 15; })) << sup->err();
    EXPECT_EQ(count_of(sup->err(), "kill "), 0u);
    EXPECT_EQ(count_of(sup->out(), "task_info_size:"), 1u);
    EXPECT_EQ(inst.starts("vorn_monitor").size(), 1u);
    EXPECT_EQ(inst.starts(worker).size(), 1u);
    calm(inst);
    expect_survived(1);
}

TEST_F(fault_e2e, updater_alternating_exit_0_and_1) {
    const std::string worker = unique_name("worker");
    // Odd starts exit 0 (new turn), even starts exit 1 (system tasks restarted).
    inst.task(
        "vorn_update",
        until_calm(inst, "n=$(wc -l < '" + inst.root() +
                             "/log/vorn_update.log')\n[ $((n % 2)) -eq 1 ] && exit 0\nexit 1"));
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    start({worker}, {},
          R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                                      {"name": ")" +
              worker + R"(", "system": 0}]})");
    std::vector<std::string> mismatches;
    ASSERT_TRUE(wait_until(
        [&] {
            if (std::string why = lasting_mismatch(*sup, inst, tasks); !why.empty())
                mismatches.push_back(why);
            return inst.starts("vorn_update").size() >= 40;
        },
        60s))
        << sup->err();
    calm(inst);
    std::string why;
    ASSERT_TRUE(wait_until([&] {
        why = table_mismatch(*sup, inst, tasks, tasks);
        return why.empty();
    })) << why;
    EXPECT_EQ(mismatches, std::vector<std::string>{});
    // Every start but the last (calm) one ended with its parity's status.
    const std::size_t s = inst.starts("vorn_update").size();
    const std::size_t exits_0 = s / 2, exits_1 = (s - 1) / 2;
    const std::size_t turns = count_of(sup->out(), "task_info_size:");
    EXPECT_EQ(turns, 1 + exits_0);
    EXPECT_EQ(count_of(sup->err(), "kill vorn_monitor...........................\n"), exits_1);
    EXPECT_EQ(count_of(sup->err(), "kill vorn_monitor\n"), exits_0);
    EXPECT_EQ(count_of(sup->err(), "kill " + worker + "\n"), exits_0);
    EXPECT_EQ(count_of(sup->err(), "kill " + worker + "."), 0u);
    // A start killed before its script wrote its log line goes uncounted
    // (under load a shell may take longer than a pass to get there), so the
    // logged starts may fall short of the forks, never exceed them.
    EXPECT_LE(inst.starts(worker).size(), turns);
    EXPECT_GE(inst.starts(worker).size(), turns * 9 / 10);
    EXPECT_LE(inst.starts("vorn_monitor").size(), turns + exits_1);
    EXPECT_GE(inst.starts("vorn_monitor").size(), (turns + exits_1) * 9 / 10);
    // One child per slot, plus the children killed at the last exit, which
    // the next reap step collects.
    expect_survived(6);
}

TEST_F(fault_e2e, updater_exit_0_with_a_full_table_leaves_no_zombies) {
    std::vector<std::string> workers;
    for (int i = 0; i < 14; ++i) workers.push_back(unique_name("worker"));
    const auto names = with_builtins(workers);
    // The updater exits 0 once, when every other task has logged its start.
    std::string wait_for_all;
    for (std::size_t i = 1; i < names.size(); ++i)
        wait_for_all +=
            "while [ ! -s '" + inst.root() + "/log/" + names[i] + ".ids' ]; do sleep 0.01; done\n";
    inst.task("vorn_update", "[ $(wc -l < '" + inst.root() +
                                 "/log/vorn_update.log') -gt 1 ] && exec sleep 1000\n" +
                                 wait_for_all + "exit 0");
    for (std::size_t i = 1; i < names.size(); ++i) inst.task(names[i], long_running);
    start(workers);
    ASSERT_TRUE(wait_until([&] { return inst.starts("vorn_update").size() >= 2; })) << sup->err();
    // The new turn's first start pass is done; its reap step collects all
    // fifteen children killed at the exit, not one of them per pass.
    const std::size_t passes = count_events(inst, "sleep 5");
    ASSERT_TRUE(wait_until([&] { return count_events(inst, "sleep 5") >= passes + 2; }));
    EXPECT_EQ(count_of(sup->err(), "kill "), 15u);
    for (std::size_t i = 1; i < tasks.size(); ++i) {
        const auto pids = inst.start_pids(tasks[i]);
        ASSERT_EQ(pids.size(), 2u) << tasks[i];
        EXPECT_EQ(process_state(pids[0]), 0) << tasks[i] << " killed but not reaped";
    }
    // The fifteen killed children, for a moment, and a kill-by-name run of
    // the new turn that has ended but not yet been waited for.
    expect_survived(16);
}

// A status path the supervisor cannot, or must not, write through.
struct status_fault {
    const char* kind;
    // Prepares the installation; returns the status path to use.
    std::function<std::string(const installation&)> prepare;
    // Shell commands run as root in a mount namespace of the supervisor's
    // own (%D is the directory of the status path); empty: none.
    std::string mount;
    bool reported;  // "cannot write the status file", once
    std::function<void(const installation&, const std::string& path)> check;
    bool metrics = false;  // the path is the metrics file's; the status file is the default one
};

void PrintTo(const status_fault& f, std::ostream* os) { *os << f.kind; }

std::string dir_of(const installation& inst, const char* name) {
    const std::string dir = inst.root() + "/" + name;
    std::filesystem::create_directory(dir);
    return dir + "/vorn_restart.status";
}

// No temporary file of the supervisor's left beside the status file
// ("<name>.XXXXXX"; a planted "<name>.tmp" is not its own).  The
// supervisor may be in the middle of a write: one that is only being
// written is renamed away at once, one that was left stays.
void expect_no_temporary(const std::string& path) {
    const std::filesystem::path file(path);
    const std::string base = file.filename().string() + ".";
    std::string left;
    EXPECT_TRUE(wait_until([&] {
        left.clear();
        for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
            const std::string name = entry.path().filename();
            if (name.starts_with(base) && name.size() == base.size() + 6) left = name;
        }
        return left.empty();
    })) << left;
}

// A whole document, in a regular file that is no link.
void expect_document(const std::string& path) {
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
    json_t* doc = json_loads(read_file(path).c_str(), 0, nullptr);
    EXPECT_NE(doc, nullptr);
    json_decref(doc);
    expect_no_temporary(path);
}

void expect_victim_kept(const installation& inst, const std::string& path) {
    EXPECT_EQ(read_file(inst.root() + "/victim"), "keep");
    expect_document(path);
}

std::string with_victim(const installation& inst, bool at_temp) {
    const std::string path = inst.root() + "/vorn_restart.status";
    inst.write(inst.root() + "/victim", "keep");
    const std::string link = at_temp ? path + ".tmp" : path;
    EXPECT_EQ(::symlink((inst.root() + "/victim").c_str(), link.c_str()), 0);
    return path;
}

std::string directory_at_path(const installation& inst) {
    const std::string path = inst.root() + "/vorn_restart.status";
    std::filesystem::create_directory(path);
    return path;
}

class status_file_fault : public fault_e2e, public ::testing::WithParamInterface<status_fault> {};

TEST_P(status_file_fault, supervision_goes_on) {
    const status_fault& f = GetParam();
    if (!f.mount.empty()) {
        // Needs root, and / a mount point of its own (not so in a chroot).
        const program_result probe =
            run_program({"unshare", "-m", "sh", "-c", "mount --make-rprivate /"});
        if (probe.status != 0) GTEST_SKIP() << "no private mount namespace here: " << probe.err;
    }
    const std::string path = f.prepare(inst);
    const std::string crash = unique_name("crash");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(crash, until_calm(inst, "exit 3"));
    run_options options;
    options.extra_arguments = {"--status_path=" + path};
    if (f.metrics) options.extra_arguments = {"--metrics_path=" + path};
    if (!f.mount.empty()) {
        std::string mount = f.mount;
        const std::string dir = std::filesystem::path(path).parent_path();
        for (std::size_t at; (at = mount.find("%D")) != std::string::npos;)
            mount.replace(at, 2, dir);
        options.wrapper = {"unshare", "-m", "sh", "-c",
                           "mount --make-rprivate / && " + mount + " && exec \"$0\" \"$@\""};
    }
    start({crash}, options);
    ASSERT_TRUE(wait_until([&] { return inst.starts(crash).size() >= 3; })) << sup->err();
    const std::string file = f.metrics ? "metrics" : "status";
    EXPECT_EQ(count_of(sup->err(), "cannot write the " + file + " file " + path + ": "),
              f.reported ? 1u : 0u)
        << sup->err();
    f.check(inst, path);
    calm(inst);
    expect_survived(1);
}

INSTANTIATE_TEST_SUITE_P(
    fault_e2e, status_file_fault,
    ::testing::Values(
        status_fault{"missing directory",
                     [](const installation& i) { return i.root() + "/none/vorn_restart.status"; },
                     "", true,
                     [](const installation& i, const std::string&) {
                         EXPECT_FALSE(std::filesystem::exists(i.root() + "/none"));
                     }},
        status_fault{"directory at the path", directory_at_path, "", true,
                     [](const installation&, const std::string& path) {
                         EXPECT_TRUE(std::filesystem::is_directory(path));
                         expect_no_temporary(path);
                     }},
        // Gone after a while: the document follows at the next try, at most
        // 30 s (of real time) later.
        status_fault{"directory at the path for a while", directory_at_path, "", true,
                     [](const installation&, const std::string& path) {
                         std::filesystem::remove(path);
                         EXPECT_TRUE(wait_until(
                             [&] { return std::filesystem::is_regular_file(path); }, 45s, 100ms));
                         expect_document(path);
                     }},
        // Nothing at a name planted beforehand is ever used.
        status_fault{"directory planted at <path>.tmp",
                     [](const installation& i) {
                         const std::string path = i.root() + "/vorn_restart.status";
                         std::filesystem::create_directory(path + ".tmp");
                         return path;
                     },
                     "", false,
                     [](const installation&, const std::string& path) {
                         expect_document(path);
                         EXPECT_TRUE(std::filesystem::is_directory(path + ".tmp"));
                     }},
        status_fault{"FIFO at the path",
                     [](const installation& i) {
                         const std::string path = i.root() + "/vorn_restart.status";
                         EXPECT_EQ(::mkfifo(path.c_str(), 0644), 0);
                         return path;
                     },
                     "", false,
                     [](const installation&, const std::string& p) { expect_document(p); }},
        status_fault{"link planted at <path>.tmp",
                     [](const installation& i) { return with_victim(i, true); }, "", false,
                     [](const installation& i, const std::string& path) {
                         expect_victim_kept(i, path);
                         EXPECT_TRUE(std::filesystem::is_symlink(path + ".tmp"));
                     }},
        status_fault{"link at the path",
                     [](const installation& i) { return with_victim(i, false); }, "", false,
                     expect_victim_kept},
        status_fault{"read-only directory", [](const installation& i) { return dir_of(i, "ro"); },
                     "mount --bind %D %D && mount -o remount,bind,ro %D", true,
                     [](const installation&, const std::string& path) {
                         EXPECT_FALSE(std::filesystem::exists(path));
                     }},
        status_fault{"full file system", [](const installation& i) { return dir_of(i, "full"); },
                     "mount -t tmpfs -o size=16k tmpfs %D && { cat /dev/zero >%D/fill; true; }",
                     true,
                     [](const installation&, const std::string& path) {
                         // The tmpfs is gone with the supervisor's namespace view.
                         EXPECT_FALSE(std::filesystem::exists(path));
                     }},
        // A metrics file that cannot be written keeps no status file from being written.
        status_fault{"metrics file in a missing directory",
                     [](const installation& i) { return i.root() + "/none/vorn_restart.prom"; }, "",
                     true,
                     [](const installation& i, const std::string&) {
                         expect_document(i.status_file());
                         EXPECT_FALSE(std::filesystem::exists(i.root() + "/none"));
                     },
                     true}));

// A way to spoil the configuration file between two turns, and to repair it.
struct config_fault {
    const char* kind;
    std::function<void(const installation&, const std::string& valid)> spoil;
    std::function<void(const installation&, const std::string& valid)> repair;
    bool reported;  // "fopen: ..." on standard error
};

int half_written_fd = -1;

void write_all(int fd, const std::string& text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void PrintTo(const config_fault& f, std::ostream* os) { *os << f.kind; }

class broken_config : public fault_e2e, public ::testing::WithParamInterface<config_fault> {};

TEST_P(broken_config, starts_nothing_and_recovers_at_the_next_turn) {
    const std::string worker = unique_name("worker");
    inst.task("vorn_update", until_calm(inst, "sleep 0.1; exit 0"));  // a turn every ~0.1 s
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    start({worker});
    const std::string valid = config_of(tasks);
    ASSERT_TRUE(wait_until([&] { return inst.starts(worker).size() >= 2; })) << sup->err();

    GetParam().spoil(inst, valid);
    ASSERT_TRUE(wait_until([&] { return count_events(inst, "sleep 30") >= 1; })) << sup->err();
    std::vector<std::size_t> starts;
    for (const std::string& name : tasks) starts.push_back(inst.starts(name).size());
    const std::size_t dumps = count_of(sup->out(), "task_info_size:");
    ASSERT_TRUE(wait_until([&] { return count_events(inst, "sleep 30") >= 4; }));
    for (std::size_t i = 0; i < tasks.size(); ++i)
        EXPECT_EQ(inst.starts(tasks[i]).size(), starts[i]) << tasks[i] << " started";
    EXPECT_EQ(count_of(sup->out(), "task_info_size:"), dumps);
    for (pid_t child : sup->live_children())
        for (const std::string& name : tasks)
            for (pid_t pid : inst.start_pids(name)) EXPECT_NE(child, pid) << name << " runs";
    EXPECT_EQ(count_of(sup->err(), "fopen: No such file or directory\n") > 0, GetParam().reported);

    GetParam().repair(inst, valid);
    const std::size_t waits = count_events(inst, "sleep 30");
    ASSERT_TRUE(wait_until([&] { return inst.starts(worker).size() > starts.back(); }));
    // Back at the first turn after the repair: at most the wait that was
    // under way when the file was repaired.
    EXPECT_LE(count_events(inst, "sleep 30"), waits + 1);
    calm(inst);
    expect_survived(6);
}

INSTANTIATE_TEST_SUITE_P(
    fault_e2e, broken_config,
    ::testing::Values(
        config_fault{"deleted",
                     [](const installation& inst, const std::string&) {
                         ::unlink(inst.config_file().c_str());
                     },
                     [](const installation& inst, const std::string& valid) { inst.config(valid); },
                     true},
        config_fault{"truncated_mid_write",
                     // Written in place, and only the first half so far.
                     [](const installation& inst, const std::string& valid) {
                         half_written_fd = ::open(inst.config_file().c_str(), O_WRONLY | O_TRUNC);
                         ASSERT_GE(half_written_fd, 0);
                         write_all(half_written_fd, valid.substr(0, valid.size() / 2));
                     },
                     [](const installation&, const std::string& valid) {
                         write_all(half_written_fd, valid.substr(valid.size() / 2));
                         ::close(half_written_fd);
                     },
                     false},
        config_fault{"garbage",
                     [](const installation& inst, const std::string&) {
                         std::string junk;
                         for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) % 256);
                         inst.write(inst.config_file(), junk);
                     },
                     [](const installation& inst, const std::string& valid) { inst.config(valid); },
                     false},
        config_fault{"directory",
                     // fopen() opens a directory; reading it fails, so it
                     // is unusable without a message.
                     [](const installation& inst, const std::string&) {
                         ::unlink(inst.config_file().c_str());
                         ASSERT_EQ(::mkdir(inst.config_file().c_str(), 0755), 0);
                     },
                     [](const installation& inst, const std::string& valid) {
                         ASSERT_EQ(::rmdir(inst.config_file().c_str()), 0);
                         inst.config(valid);
                     },
                     false},
        config_fault{"past_10239_bytes",
                     // Still valid JSON, but its end lies past the bytes read.
                     [](const installation& inst, const std::string& valid) {
                         inst.config(valid.substr(0, valid.size() - 1) + R"(, "pad": ")" +
                                     std::string(10300, 'x') + "\"}");
                     },
                     [](const installation& inst, const std::string& valid) { inst.config(valid); },
                     false}),
    [](const auto& param_info) { return std::string(param_info.param.kind); });

// A marker path that is removed with its target when the test ends.
struct marker_files {
    std::string path, target;
    explicit marker_files(const std::string& name)
        : path("/tmp/." + name + ".nr"), target("/tmp/." + name + ".target") {}
    ~marker_files() { clear(); }
    void clear() const {
        ::unlink(path.c_str());
        ::rmdir(path.c_str());
        ::unlink(target.c_str());
        ::rmdir(target.c_str());
    }
};

void touch(const std::string& path) { ::close(::open(path.c_str(), O_WRONLY | O_CREAT, 0644)); }

// The worker is held back: not-run lines go on and it is not started.
void expect_held(const supervisor& sup, const installation& inst, const std::string& worker,
                 const std::string& line) {
    const std::size_t seen = count_of(sup.out(), line);
    ASSERT_TRUE(wait_until([&] { return count_of(sup.out(), line) >= seen + 1; })) << sup.out();
    const std::size_t starts = inst.starts(worker).size();
    ASSERT_TRUE(wait_until([&] { return count_of(sup.out(), line) >= seen + 4; }));
    EXPECT_EQ(inst.starts(worker).size(), starts);
}

// The worker is free: it keeps being started and no not-run line appears.
void expect_free(const supervisor& sup, const installation& inst, const std::string& worker,
                 const std::string& line) {
    const std::size_t starts = inst.starts(worker).size();
    const std::size_t held = count_of(sup.out(), line);
    ASSERT_TRUE(wait_until([&] { return inst.starts(worker).size() >= starts + 3; }));
    // The pass that was under way when the marker went may still print one.
    EXPECT_LE(count_of(sup.out(), line), held + 1);
}

// A supervisor whose third task, with system 0, has a marker path of its
// own; the task ends at once until the test calms it.
class marked_worker : public fault_e2e {
protected:
    void start_marked(const std::string& base) {
        worker = unique_name(base);
        marker = std::make_unique<marker_files>(worker);
        line = worker + " not run: " + marker->path + "\n";
        inst.task("vorn_update", long_running);
        inst.task("vorn_monitor", long_running);
        inst.task(worker, until_calm(inst, "exit 0"));
        start({worker}, {},
              R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                                          {"name": ")" +
                  worker + R"(", "system": 0}]})");
    }
    std::string worker;
    std::unique_ptr<marker_files> marker;
    std::string line;  // the not-run line of the worker
};

// Reads the status file over and over while it lives, the way a monitor
// would, and keeps what it saw: every read must be one whole document.
class status_reader {
public:
    status_reader(const installation& inst, const std::string& task)
        : path_(inst.status_file()), task_(task), thread_([this] { run(); }) {}
    ~status_reader() { stop(); }
    void stop() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }
    long reads = 0, broken = 0;
    std::string first_broken;
    std::vector<std::string> states;  // of the task, each change once, "held_back <marker>"
    json_int_t pid = 0;

private:
    void run() {
        while (!done_) {
            const std::string text = read_file(path_);
            if (!text.empty()) note(text);
            std::this_thread::sleep_for(200us);
        }
    }
    void note(const std::string& text) {
        ++reads;
        json_t* doc = json_loads(text.c_str(), 0, nullptr);
        if (!doc || text.back() != '\n') {
            if (broken++ == 0) first_broken = text;
            json_decref(doc);
            return;
        }
        pid = json_integer_value(json_object_get(doc, "pid"));
        const json_t* slots = json_object_get(doc, "slots");
        for (std::size_t i = 0; i < json_array_size(slots); ++i) {
            const json_t* slot = json_array_get(slots, i);
            if (task_ != json_string_value(json_object_get(slot, "name"))) continue;
            std::string state = json_string_value(json_object_get(slot, "state"));
            if (const char* marker = json_string_value(json_object_get(slot, "marker")))
                state += std::string(" ") + marker;
            if (states.empty() || states.back() != state) states.push_back(state);
        }
        json_decref(doc);
    }
    std::string path_, task_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST_F(marked_worker, markers_appearing_and_vanishing) {
    start_marked("marked");
    status_reader reader(inst, worker);
    ASSERT_TRUE(wait_until([&] { return inst.starts(worker).size() >= 2; }));
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        touch(marker->path);
        expect_held(*sup, inst, worker, line);
        marker->clear();
        expect_free(*sup, inst, worker, line);
    }
    // Flickering faster than the passes.
    std::atomic<bool> done{false};
    std::thread flicker([&] {
        for (int i = 0; !done; ++i) {
            if (i % 2)
                marker->clear();
            else
                touch(marker->path);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::this_thread::sleep_for(1500ms);
    done = true;
    flicker.join();
    marker->clear();
    expect_free(*sup, inst, worker, line);
    EXPECT_EQ(inst.starts("vorn_update").size(), 1u);
    calm(inst);
    expect_survived(1);
    // The worker's restarts and markers, as a reader of the status saw them.
    reader.stop();
    EXPECT_EQ(reader.broken, 0) << reader.first_broken;
    EXPECT_GT(reader.reads, 100);
    EXPECT_EQ(reader.pid, sup->pid());
    const auto seen = [&](const std::string& state) {
        return std::count(reader.states.begin(), reader.states.end(), state);
    };
    EXPECT_GE(seen("held_back " + marker->path), 5);
    EXPECT_GE(seen("running"), 5);
    EXPECT_GE(seen("waiting"), 1);
}

// What can stand at a marker path, and whether it holds the task back.
// The check is access(F_OK), which follows symbolic links: a link counts
// only when what it points at exists.
struct marker_kind {
    const char* kind;
    std::function<void(const marker_files&)> make;
    bool holds;
};

TEST_F(marked_worker, marker_kinds_and_dangling_links) {
    start_marked("linked");
    const auto link = [](const marker_files& m, const std::string& to) {
        ASSERT_EQ(::symlink(to.c_str(), m.path.c_str()), 0) << std::strerror(errno);
    };
    const marker_kind kinds[] = {
        {"regular file", [](const marker_files& m) { touch(m.path); }, true},
        {"directory", [](const marker_files& m) { ::mkdir(m.path.c_str(), 0755); }, true},
        {"link to a file",
         [&](const marker_files& m) {
             touch(m.target);
             link(m, m.target);
         },
         true},
        {"link to a directory",
         [&](const marker_files& m) {
             ::mkdir(m.target.c_str(), 0755);
             link(m, m.target);
         },
         true},
        {"dangling link", [&](const marker_files& m) { link(m, m.target); }, false},
        {"link to itself", [&](const marker_files& m) { link(m, m.path); }, false},
    };
    ASSERT_TRUE(wait_until([&] { return inst.starts(worker).size() >= 2; }));
    for (const marker_kind& k : kinds) {
        SCOPED_TRACE(k.kind);
        k.make(*marker);
        if (k.holds)
            expect_held(*sup, inst, worker, line);
        else
            expect_free(*sup, inst, worker, line);
        marker->clear();
        expect_free(*sup, inst, worker, line);
    }
    // A dangling link starts to count when its target appears, and stops
    // when the target goes again.
    link(*marker, marker->target);
    expect_free(*sup, inst, worker, line);
    touch(marker->target);
    expect_held(*sup, inst, worker, line);
    ::unlink(marker->target.c_str());
    expect_free(*sup, inst, worker, line);
    marker->clear();
    calm(inst);
    expect_survived(1);
}

// Task logs.  Every task's own log lies in <root>/tasks (the task scripts
// keep their records in <root>/log).
std::string task_log(const installation& inst, const std::string& name, const char* suffix = "") {
    return inst.root() + "/tasks/" + name + ".log" + suffix;
}

TEST_F(fault_e2e, a_task_log_holds_its_output_and_the_supervisors_lines) {
    const std::string talk = unique_name("talk");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(talk, until_calm(inst, "echo 'out of '$$; echo 'err of '$$ >&2; exit 3"));
    run_options options;  // -d: the supervisor's own lines stay on its output
    options.extra_arguments = {"--log_path=" + inst.root() + "/tasks", "--log_size=4096"};
    start({talk}, options);
    ASSERT_TRUE(wait_until([&] { return inst.starts(talk).size() >= 2; })) << sup->err();
    const pid_t first = inst.start_pids(talk).at(0);
    const std::string p = std::to_string(first);
    const std::string log = read_file(task_log(inst, talk));
    // In this order (under qemu-user the loader's complaints about the
    // preloaded library may come in between).
    std::size_t at = 0;
    for (const std::string& line :
         {"Z vorn_restart: started " + talk + " (pid " + p + "): " + inst.sbin() + talk +
              " --install_path=" + inst.root() + "/\n",
          "\nout of " + p + "\n", "\nerr of " + p + "\n",
          "Z vorn_restart: " + talk + " (pid " + p + ") ended with code 3\n"}) {
        at = log.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in:\n" << log;
    }
    EXPECT_EQ(sup->out().find("out of"), std::string::npos);
    struct stat dir {};
    ASSERT_EQ(::stat((inst.root() + "/tasks").c_str(), &dir), 0);
    EXPECT_EQ(dir.st_mode & 07777, 0750u);

    // A marker that holds the task back is said once, however many passes it holds.
    const marker held(talk);
    held.create();
    const std::string held_line = "vorn_restart: " + talk + " held back by " + held.path + "\n";
    EXPECT_TRUE(wait_until([&] { return count_events(inst, "sleep 5") >= 8; }));
    const std::size_t starts = inst.starts(talk).size();
    EXPECT_TRUE(wait_until([&] { return count_events(inst, "sleep 5") >= 16; }));
    EXPECT_EQ(inst.starts(talk).size(), starts);
    EXPECT_EQ(count_of(read_file(task_log(inst, talk)), held_line), 1u);
    held.remove();
    calm(inst);
    expect_survived(1);
}

TEST_F(fault_e2e, without_log_path_no_log_is_made) {
    const std::string quiet = unique_name("quiet");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(quiet, until_calm(inst, "echo out; exit 3"));
    run_options options;
    options.debug = false;
    start({quiet}, options);
    ASSERT_TRUE(wait_until([&] { return inst.starts(quiet).size() >= 2; }));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(inst.root()))
        EXPECT_TRUE(entry.path().parent_path() == inst.root() + "/log" ||
                    entry.path().filename() != quiet + ".log")
            << entry.path();
    EXPECT_EQ(read_lines(inst.root() + "/log/" + quiet + ".env").at(0), "unset /dev/null");
    calm(inst);
    expect_survived(1);
}

// A task that writes without pause (bursts of 10 lines every 10 ms, about
// 2.5 KB a pass) under a bound of 4 KB: the log is rotated at every pass or
// two, never the task, and the older generation holds the earlier lines.
TEST_F(fault_e2e, logs_stay_bounded_under_a_task_that_never_stops_writing) {
    const std::string chatty = unique_name("chatty");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(chatty,
              "exec bash -c 'exec 3<> <(:); i=0; while :; do for k in 0 1 2 3 4 5 6 7 8 9; do "
              "i=$((i+1)); echo \"line $i of a task that never stops talking\"; done; "
              "read -t 0.01 -u 3; done'");
    run_options options;
    options.extra_arguments = {"--log_path=" + inst.root() + "/tasks", "--log_size=4096"};
    start({chatty}, options);
    std::uintmax_t most = 0;
    const auto size = [](const std::string& path) {
        std::error_code error;
        const std::uintmax_t n = std::filesystem::file_size(path, error);
        return error ? 0 : n;
    };
    for (int sample = 0; sample < 300; ++sample) {
        most = std::max(most, size(task_log(inst, chatty)) + size(task_log(inst, chatty, ".1")));
        std::this_thread::sleep_for(10ms);
    }
    std::printf("largest log + older generation: %ju bytes\n", most);
    EXPECT_GT(most, 4096u);
    EXPECT_LE(most, 2 * 4096u + 16384u);  // twice the bound and a few passes of writing
    EXPECT_EQ(inst.starts(chatty).size(), 1u);
    // Whole lines, consecutive, and older than every line of the log.
    const std::vector<std::string> older = read_lines(task_log(inst, chatty, ".1"));
    ASSERT_GE(older.size(), 2u);
    EXPECT_LE(size(task_log(inst, chatty, ".1")), 4096u);
    unsigned long previous = 0;
    for (const std::string& line : older) {
        unsigned long n = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "line %lu of a task", &n), 1) << line;
        if (previous != 0) {
            EXPECT_EQ(n, previous + 1);
        }
        previous = n;
    }
    // Read after the older generation: as new or newer (once it has a line again).
    unsigned long newest = 0;
    EXPECT_TRUE(wait_until([&] {
        for (const std::string& line : read_lines(task_log(inst, chatty)))
            std::sscanf(line.c_str(), "line %lu of a task", &newest);
        return newest != 0;
    }));
    EXPECT_GE(newest, previous);
    expect_survived(1);
}

// A log directory or log file the supervisor cannot, or must not, use:
// said once, the task runs all the same.
struct log_fault {
    const char* kind;
    // Prepares <root>/tasks (or what stands there), given the task's name.
    std::function<void(const installation&, const std::string& task)> prepare;
    std::string mount;  // as for status_fault, %D being <root>/tasks
    std::string said;   // once on standard error; "": nothing said of logs
    std::string dir = "tasks";
    // Done to the directory while the task restarts; a start after it
    // logs there again.
    std::function<void(const std::string& dir)> meanwhile = nullptr;
};

void PrintTo(const log_fault& f, std::ostream* os) { *os << f.kind; }

class log_file_fault : public fault_e2e, public ::testing::WithParamInterface<log_fault> {};

TEST_P(log_file_fault, is_said_once_and_the_task_runs) {
    const log_fault& f = GetParam();
    if (!f.mount.empty() &&
        run_program({"unshare", "-m", "sh", "-c", "mount --make-rprivate /"}).status != 0)
        GTEST_SKIP() << "no private mount namespace here";
    const std::string dir = inst.root() + "/" + f.dir;
    const std::string crash = unique_name("crash");
    inst.write(inst.root() + "/victim", "keep");
    f.prepare(inst, crash);
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(crash, until_calm(inst, "echo words; exit 3"));
    run_options options;
    options.extra_arguments = {"--log_path=" + dir, "--log_size=4096"};
    if (!f.mount.empty()) {
        std::string mount = f.mount;
        for (std::size_t at; (at = mount.find("%D")) != std::string::npos;)
            mount.replace(at, 2, dir);
        options.wrapper = {"unshare", "-m", "sh", "-c",
                           "mount --make-rprivate / && " + mount + " && exec \"$0\" \"$@\""};
    }
    start({crash}, options);
    ASSERT_TRUE(wait_until([&] { return inst.starts(crash).size() >= 3; })) << sup->err();
    if (f.meanwhile) {
        f.meanwhile(dir);
        EXPECT_TRUE(wait_until([&] {
            return read_file(dir + "/" + crash + ".log").find("words") != std::string::npos;
        })) << sup->err();
    }
    if (f.said.empty())
        EXPECT_EQ(sup->err().find("log"), std::string::npos) << sup->err();
    else
        EXPECT_EQ(count_of(sup->err(), f.said), 1u) << sup->err();
    EXPECT_EQ(read_file(inst.root() + "/victim"), "keep");
    calm(inst);
    expect_survived(1);
}

void make_dir(const std::string& dir, mode_t mode, uid_t owner = 0) {
    ASSERT_EQ(::mkdir(dir.c_str(), mode), 0);
    ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
    ASSERT_EQ(::chown(dir.c_str(), owner, owner), 0);
}

INSTANTIATE_TEST_SUITE_P(
    fault_e2e, log_file_fault,
    ::testing::Values(
        log_fault{"link to a directory",
                  [](const installation& i, const std::string&) {
                      make_dir(i.root() + "/elsewhere", 0750);
                      ASSERT_EQ(::symlink("elsewhere", (i.root() + "/tasks").c_str()), 0);
                  },
                  "", "tasks: it is a symbolic link; the tasks' output is not kept\n"},
        log_fault{
            "file at the path",
            [](const installation& i, const std::string&) { i.write(i.root() + "/tasks", ""); }, "",
            "tasks: it is not a directory; the tasks' output is not kept\n"},
        log_fault{"missing parent", [](const installation&, const std::string&) {}, "",
                  "none/tasks: No such file or directory; the tasks' output is not kept\n",
                  "none/tasks"},
        log_fault{
            "group-writable directory",
            [](const installation& i, const std::string&) { make_dir(i.root() + "/tasks", 0770); },
            "", "group or others can write to it (mode 0770)"},
        log_fault{"directory of another user",
                  [](const installation& i, const std::string&) {
                      make_dir(i.root() + "/tasks", 0750, 65534);
                  },
                  "", "it belongs to uid 65534, not to uid 0"},
        log_fault{"link planted at the log",
                  [](const installation& i, const std::string& task) {
                      make_dir(i.root() + "/tasks", 0750);
                      ASSERT_EQ(::symlink("../victim", task_log(i, task).c_str()), 0);
                  },
                  "", ".log: it is a symbolic link; the output of "},
        log_fault{"FIFO planted at the log",
                  [](const installation& i, const std::string& task) {
                      make_dir(i.root() + "/tasks", 0750);
                      ASSERT_EQ(::mkfifo(task_log(i, task).c_str(), 0640), 0);
                  },
                  "", ".log: No such device or address; the output of "},
        log_fault{
            "directory removed while tasks run",
            [](const installation& i, const std::string&) { make_dir(i.root() + "/tasks", 0750); },
            "", "tasks: it was removed; opening it again\n", "tasks",
            [](const std::string& dir) { std::filesystem::remove_all(dir); }},
        log_fault{"directory replaced while tasks run",
                  [](const installation& i, const std::string&) {
                      make_dir(i.root() + "/tasks", 0750);
                      make_dir(i.root() + "/new", 0750);
                  },
                  "", "tasks: it was replaced by another; opening it again\n", "tasks",
                  [](const std::string& dir) {
                      // In one step: the path never names nothing.
                      ASSERT_EQ(::renameat2(AT_FDCWD, (dir + "/../new").c_str(), AT_FDCWD,
                                            dir.c_str(), RENAME_EXCHANGE),
                                0);
                  }},
        log_fault{
            "read-only directory",
            [](const installation& i, const std::string&) { make_dir(i.root() + "/tasks", 0750); },
            "mount --bind %D %D && mount -o remount,bind,ro %D",
            ".log: Read-only file system; the output of crash_"},
        log_fault{
            "full file system",
            [](const installation& i, const std::string&) { make_dir(i.root() + "/tasks", 0750); },
            "mount -t tmpfs -o size=16k,mode=0750 tmpfs %D && { cat /dev/zero >%D/fill; true; }",
            "" /* its writes fail as the task's own do */}));

}  // namespace
}  // namespace vorn::e2e
