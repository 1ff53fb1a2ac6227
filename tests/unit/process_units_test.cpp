// A task's unit: the parsers of what the kernel's files say, the process
// table, and the ends and cgroups of whole units through the fake system.
#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/process_table.hpp"
#include "base/process_units.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/launch.hpp"
#include "supervise/metrics.hpp"
#include "supervise/start_report.hpp"
#include "supervise/unit.hpp"

namespace vorn::testing {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

TEST(process_units, parsers_take_numbers_only_within_range) {
    // cgroup.procs in pieces of 5 bytes: lines cut anywhere.
    scratch_list<pid_t> pids;
    pid_list_reader reader{&pids, 0, false, false, false};
    const std::string text = "12\n1\n0\n-3\nabc\n99999999\n4194304\n1234567";
    for (std::size_t at = 0; at < text.size(); at += 5)
        read_pid_piece(reader, std::string_view(text).substr(at, 5));
    end_pid_list(reader);
    EXPECT_EQ(std::vector<pid_t>(pids.data(), pids.data() + pids.size()),
              (std::vector<pid_t>{12, 4194304, 1234567}));
    unsigned long long value = 0;
    const struct {
        const char* text;
        bool ok;
        unsigned long long value;
    } cpu_rows[] = {{"usage_usec 1500\nuser_usec 1\n", true, 1500},
                    {"usage_usec 99999999999999999999\n", false, 0},
                    {"usage_usec -5\n", false, 0},
                    {"user_usec 7\n", false, 0}};
    for (const auto& row : cpu_rows) {
        value = 0;
        EXPECT_EQ(parse_cpu_usage(row.text, &value), row.ok) << row.text;
        EXPECT_EQ(value, row.value) << row.text;
    }
    EXPECT_FALSE(parse_single_number("12 13\n", &value));
    EXPECT_TRUE(parse_pss("Rss:  900 kB\nPss:          12 kB\n", &value));
    EXPECT_EQ(value, 12u * 1024);
    EXPECT_FALSE(parse_pss("Pss: 1152921504606846975 kB\n", &value));
    cgroup_path path{};
    EXPECT_TRUE(
        parse_cgroup2_mount("30 1 0:26 / /sys/fs/cgroup rw - cgroup cgroup rw\n"
                            "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
                            path.data(), path.size()));
    EXPECT_STREQ(path.data(), "/sys/fs/cgroup/unified");
    EXPECT_FALSE(parse_v2_cgroup("1:pids:/\n0::relative\n", path.data(), path.size()));
    process_times times{};
    EXPECT_FALSE(parse_process_times("12 (a) S 99999999 1 1", &times));
    ASSERT_TRUE(
        parse_process_times("12 (a b) S 7 1 1 0 -1 0 0 0 0 0 2 3 40 50 20 0 1 0 9000 1 2", &times));
    EXPECT_EQ(times.cpu_ticks, 5u);
    EXPECT_EQ(times.reaped_ticks, 90u);
    EXPECT_EQ(times.start_ticks, 9000u);
}

TEST(process_units, only_a_cgroup_below_the_mount_and_a_plain_name_are_used) {
    const struct {
        const char* path;
        bool below;
    } rows[] = {{"/sys/fs/cgroup/a/worker", true},
                {"/sys/fs/cgroup/../etc", false},
                {"/sys/fs/cgroup/a/./b", false},
                {"/sys/fs/cgroupx/worker", false},
                {"/etc/worker", false},
                {"/sys/fs/cgroup", false}};
    for (const auto& row : rows)
        EXPECT_EQ(cgroup_below(row.path, "/sys/fs/cgroup"), row.below) << row.path;
    for (const char* name : {".", "..", ".hidden", "cgroup.procs", "memory.max"})
        EXPECT_FALSE(cgroup_name_usable(name)) << name;
    EXPECT_TRUE(cgroup_name_usable("worker"));
}

// Processes of the fake /proc that end as the kernel ends them: a process
// killed is gone, its children then belong to pid 1.
struct processes {
    struct proc {
        pid_t parent;
        unsigned long long start;
    };
    static inline std::map<pid_t, proc> table;
    static void add(pid_t pid, pid_t parent, unsigned long long start) {
        remove(pid);
        table[pid] = {parent, start};
        fake_files::add_process(pid, "p" + std::to_string(pid), "x", parent, "", 'S', start);
    }
    static void remove(pid_t pid) {
        for (const char* entry : {"/stat", "/comm", "/cmdline"})
            fake_files::files.erase("/proc/" + std::to_string(pid) + entry);
        std::erase(fake_files::pids, pid);
        table.erase(pid);
    }
    static void die(pid_t pid) {
        remove(pid);
        for (auto& [child, p] : std::map<pid_t, proc>(table))
            if (p.parent == pid) add(child, 1, p.start);
    }
    static int record(pid_t pid, int signal) {
        fake_system::signals.push_back({0, pid, signal});
        if (signal == SIGKILL) die(pid);
        return 0;
    }
};

class unit_end_test : public supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        fake_files::reset();
        fake_cgroups::reset();
        processes::table.clear();
        reset_units();
        fake_files::install();
        // main 1000 with a child and a grandchild; a stranger; the supervisor
        // itself and pid 1 as if they were in the unit.
        processes::add(1000, 1, 7000);
        processes::add(1001, 1000, 7001);
        processes::add(1002, 1001, 7002);
        processes::add(1003, 1, 7003);
        processes::add(current_record.pid, 1000, 7004);
        sys.kill_process = [](pid_t pid) {
            fake_system::killed.push_back(pid);
            processes::die(pid);
            return 0;
        };
        sys.send_signal = processes::record;
        sys.signal_process_handle = [](int handle, int signal) {
            return processes::record(handle - fake_system::handle_base, signal);
        };
    }
    void TearDown() override {
        close_start_reports();  // those of the starts here
        reset_units();
        fake_files::reset();
        fake_cgroups::reset();
        supervisor_test::TearDown();
    }
    static std::vector<pid_t> signalled(int signal) {
        std::vector<pid_t> pids;
        for (const auto& s : fake_system::signals)
            if (s.signal == signal) pids.push_back(s.pid);
        return pids;
    }
    // The task "w" with its cgroup made by this supervisor, main 1000 and
    // its descendants in it.
    static void in_cgroup() {
        fake_cgroups::install();
        setup_units();
        copy_text(task_table[2].task_name, "w");
        child_plan plan = plan_child(nullptr, false);
        unit_start start = begin_unit_start(2, &plan);
        end_unit_start(start, &plan);
        for (const pid_t pid : {1000, 1001, 1002}) fake_cgroups::join(pid, container() + "/w");
    }
    static std::string container() { return fake_cgroups::container(); }
};

// Steps on the fake /proc, separated by spaces: "-P" ends P (its children
// then belong to pid 1), "+P<Q@S" starts P as a child of Q at start time S.
void act(const std::string& steps) {
    std::istringstream in(steps);
    for (std::string step; in >> step;) {
        int pid = 0, parent = 0;
        unsigned long long start = 0;
        if (step[0] == '-') processes::die(std::stoi(step.substr(1)));
        if (std::sscanf(step.c_str(), "+%d<%d@%llu", &pid, &parent, &start) == 3)
            processes::add(pid, parent, start);
    }
}

long fake_files_list(pid_t* pids, std::size_t cap) {
    const std::size_t n = std::min(cap, fake_files::pids.size());
    std::copy_n(fake_files::pids.begin(), n, pids);
    return static_cast<long>(n);
}

std::vector<pid_t> sorted(std::vector<pid_t> pids) {
    std::sort(pids.begin(), pids.end());
    return pids;
}

// A process tree is noted before its main process gets its first signal,
// and a process gets SIGKILL only when it is proven a member at that
// moment: the look at /proc (one for every unit ended under it) is read
// process by process and may have aged by then.
TEST_F(unit_end_test, a_process_tree_is_ended_by_proof_only) {
    const struct {
        const char* what;
        const char* before_look;  // after the noting
        const char* after_look;   // before the signals
        std::vector<pid_t> killed;
    } rows[] = {
        {"the tree, deepest first; the stranger, the supervisor, pid 1 spared",
         "",
         "",
         {1001, 1002}},
        {"a member's pid taken by another's process",
         "-1002 +1002<1003@9000 +1005<1002@9001",
         "",
         {1001}},
        {"the main's pid taken", "-1000 +1000<1003@9000 +1006<1000@9001", "", {1001, 1002}},
        {"a child forked since, before its parent's kill",
         "+1007<1001@8000",
         "",
         {1001, 1002, 1007}},
        {"a member's pid taken after the look",
         "+1007<1001@8000",
         "-1002 +1002<1003@9999",
         {1001, 1007}},
        {"a parent's pid taken after the look",
         "+1007<1001@8000",
         "-1001 +1001<1003@7500 +1007<1001@8000",
         {1002}},
    };
    static int listings = 0;
    const auto count_listings = [] {
        sys.list_processes = [](pid_t* pids, std::size_t cap) {
            ++listings;
            return fake_files_list(pids, cap);
        };
    };
    for (const bool handles : {false, true})
        for (const auto& r : rows) {
            SetUp();
            count_listings();
            fake_system::handles = handles;
            unit_ending("w", 1000);
            act(r.before_look);
            listings = 0;
            {
                const shared_process_look look;
                unit_ending("a", 1003);  // the look, taken here
                act(r.after_look);
                unit_signal_rest("w", 1000, SIGKILL);
            }
            EXPECT_EQ(listings, 1) << r.what;
            EXPECT_EQ(sorted(signalled(SIGKILL)), r.killed) << r.what << (handles ? ", held" : "");
            for (const pid_t pid : r.killed)  // each handle given back
                EXPECT_EQ(std::count(fake_system::closed.begin(), fake_system::closed.end(),
                                     fake_system::handle_base + pid),
                          handles ? 1 : 0);
        }
    // The kills of a turn: one look at /proc for all the units.
    SetUp();
    count_listings();
    for (const pid_t main : {1000, 1003}) {
        task_info& task = task_table[main == 1000 ? 2 : 3];
        copy_text(task.task_name, main == 1000 ? "w" : "a");
        task.task_mode = mode_always;
        task.task_pid = main;
    }
    listings = 0;
    CaptureStderr();  // the kill lines
    updater_exited(900, exit_status(0));
    GetCapturedStderr();
    EXPECT_EQ(listings, 1);
    EXPECT_EQ(sorted(signalled(SIGKILL)), (std::vector<pid_t>{1001, 1002}));
    // Read with a parent that started after it: no child of that parent's.
    SetUp();
    act("+1009<1000@9000 +1020<1009@5000");
    unit_ending("w", 1000);
    unit_signal_rest("w", 1000, SIGTERM);
    EXPECT_EQ(sorted(signalled(SIGTERM)), (std::vector<pid_t>{1001, 1002, 1009}));
}

// Each of 200 processes gets one SIGTERM, then one SIGKILL: no bound on a unit.
TEST_F(unit_end_test, every_process_of_a_large_unit_is_signalled_once) {
    for (const bool cgroup : {false, true}) {
        SetUp();
        if (cgroup) in_cgroup();
        std::vector<pid_t> expected{1001, 1002};
        for (pid_t pid = 2000; pid < 2200; ++pid) {
            processes::add(pid, 1000, 8000);
            if (cgroup) fake_cgroups::join(pid, container() + "/w");
            expected.push_back(pid);
        }
        unit_ending("w", 1000);
        unit_signal_rest("w", 1000, SIGTERM);
        EXPECT_EQ(sorted(signalled(SIGTERM)), expected) << (cgroup ? "cgroup" : "tree");
        unit_signal_rest("w", 1000, SIGKILL);  // a cgroup by cgroup.kill
        EXPECT_EQ(sorted(signalled(SIGKILL)), cgroup ? std::vector<pid_t>{} : expected);
    }
}

// In its cgroup, the rest of a unit is each process still in it, once; a
// cgroup is ended whole by cgroup.kill; a cgroup this supervisor did not
// make is never signalled.
TEST_F(unit_end_test, a_cgroup_is_signalled_by_what_its_processes_name) {
    in_cgroup();
    fake_cgroups::join(1003, container() + "/w");  // listed, but moved out since:
    fake_files::files["/proc/1003/cgroup"] = "0::/elsewhere\n";
    unit_ending("w", 1000);
    unit_signal_rest("w", 1000, SIGTERM);
    EXPECT_EQ(signalled(SIGTERM), (std::vector<pid_t>{1001, 1002}));
    // Nothing in it: no cgroup.kill, after which some kernels kill a child
    // started into the cgroup by clone3.
    fake_files::files[container() + "/w/cgroup.events"] = "populated 0\n";
    unit_signal_rest("w", 1000, SIGKILL);
    // Not made in this run: left alone.
    fake_cgroups::dirs.insert(container() + "/other");
    fake_cgroups::join(1003, container() + "/other");
    unit_signal_rest("other", 999, SIGKILL);
    EXPECT_EQ(fake_cgroups::written.size(), 1u);  // the leaf's join alone
    fake_files::files[container() + "/w/cgroup.events"] = "populated 1\n";
    unit_signal_rest("w", 1000, SIGKILL);
    EXPECT_EQ(fake_cgroups::written.back(), container() + "/w/cgroup.kill <- 1");
    // A kernel without cgroup.kill: each process in it.
    sys.open_for_writing = [](const char*) { return errno = ENOENT, -1; };
    unit_signal_rest("w", 1000, SIGKILL);
    EXPECT_EQ(signalled(SIGKILL), (std::vector<pid_t>{1001, 1002}));
}

// The container is made afresh at start-up; one holding processes, or one
// others may write to, is not taken: every task is then a process tree.
TEST_F(unit_end_test, the_container_is_made_afresh_or_not_trusted) {
    const std::string old = "/cg/sup/vorn_restart.tasks/old",
                      said =
                          "vorn_restart: no cgroup "
                          "for the tasks (/cg/sup/vorn_restart.tasks: not trusted: ";
    const struct {
        const char* what;
        bool there;
        pid_t holding;
        mode_t mode;
        std::string complaint;
    } rows[] = {
        {"none there", false, 0, 0755, ""},
        {"an empty one with an empty cgroup", true, 0, 0755, ""},
        {"one holding processes", true, 1003, 0755,
         said + "it holds processes vorn_restart did not put there): their processes are "
                "followed as process trees\n"},
        {"one others may write to", true, 0, 0775,
         said + "others than root may write to it): their processes are followed as process "
                "trees\n"},
        // Another supervisor in the same cgroup: its container is left alone.
        {"another process in the leaf", true, -1003, 0755,
         "vorn_restart: no cgroup for the tasks (/cg/sup/vorn_restart.tasks: another process is "
         "in the supervisor's leaf beside it: not touched): their processes are followed as "
         "process trees\n"},
    };
    for (const auto& r : rows) {
        SetUp();
        fake_cgroups::install();
        if (r.there) fake_cgroups::dirs.insert({fake_cgroups::container(), old});
        if (r.holding > 0) fake_cgroups::join(r.holding, old);
        if (r.holding < 0) fake_cgroups::join(-r.holding, "/cg/sup/vorn_restart.supervisor");
        fake_files::infos[fake_cgroups::container()].st_mode = S_IFDIR | r.mode;
        fake_files::files[fake_cgroups::container() + "/cgroup.controllers"] = "cpu memory\n";
        CaptureStderr();
        setup_units();
        EXPECT_EQ(GetCapturedStderr(), r.complaint) << r.what;
        EXPECT_EQ(units.cgroups, r.complaint.empty()) << r.what;
        EXPECT_EQ(fake_cgroups::dirs.count(old), r.there && !r.complaint.empty()) << r.what;
        // The supervisor in its leaf, the memory controller on where it is offered.
        const std::vector<std::string> joined{
            "/cg/sup/vorn_restart.supervisor/cgroup.procs <- 0",
            "/cg/sup/vorn_restart.tasks/cgroup.subtree_control <- +memory"};
        EXPECT_EQ(fake_cgroups::written, r.complaint.empty() ? joined : std::vector<std::string>{})
            << r.what;
    }
}

// A task's cgroup is made afresh at its first start; one holding a process
// of another's refuses the start.  The child starts in its cgroup where the
// kernel can (else it joins it, and the kernel is not asked again), and
// after a cgroup.kill it joins the cgroup until that is empty and made afresh.
TEST_F(unit_end_test, a_task_cgroup_is_made_afresh_and_the_child_starts_in_it) {
    const std::string w = fake_cgroups::container() + "/w";
    for (const pid_t holding : {1003, 0}) {
        SetUp();
        fake_cgroups::install();
        setup_units();
        fake_cgroups::made.clear();
        fake_cgroups::dirs.insert(w);
        if (holding != 0) fake_cgroups::join(holding, w);
        copy_text(task_table[2].task_name, "w");
        child_plan plan = plan_child(nullptr, false);
        unit_start start = begin_unit_start(2, &plan);
        std::array<char, start_failure_text_size> why{};
        describe_start_failure(plan.cgroup_refused, nullptr, "cannot ", why.data(), why.size());
        EXPECT_EQ(plan.cgroup_refused.step == start_step::cgroup, holding != 0);
        if (holding != 0) {
            EXPECT_STREQ(why.data(),
                         "cannot make its cgroup afresh: it holds processes "
                         "vorn_restart did not put there");
        }
        EXPECT_EQ(fake_cgroups::made,
                  holding != 0 ? std::vector<std::string>{} : std::vector<std::string>{w});
        EXPECT_EQ(unit_cgroup_made("w"), holding == 0);
        end_unit_start(start, &plan);
    }
    copy_text(task_table[2].task_path, "/bin/w");
    const auto joins = [&] {
        return std::count_if(fake_cgroups::open.begin(), fake_cgroups::open.end(),
                             [&](const auto& fd) { return fd.second == w + "/cgroup.procs"; });
    };
    fake_cgroups::clone_error = 0;
    fake_cgroups::removed.clear();
    ASSERT_GT(start_task(2), 0);  // clone3
    fake_cgroups::join(1000, w);
    unit_signal_rest("w", 999, SIGKILL);
    ASSERT_GT(start_task(2), 0);  // joined: killed and not empty yet
    fake_files::files[w + "/cgroup.procs"] = "";
    ASSERT_GT(start_task(2), 0);  // made afresh, clone3
    EXPECT_EQ(fake_cgroups::removed, std::vector<std::string>{w});
    fake_cgroups::clone_error = ENOSYS;
    ASSERT_GT(start_task(2), 0);  // joined
    ASSERT_GT(start_task(2), 0);  // joined, the kernel not asked again
    EXPECT_EQ(fake_cgroups::clone_fds.size(), 3u);
    EXPECT_EQ(joins(), 3);
}

// A task that leaves the table has its cgroup removed once it holds
// nothing; the supervisor's end removes the container.
TEST_F(unit_end_test, cgroups_of_tasks_that_leave_are_removed) {
    in_cgroup();
    task_table[2] = empty_task;
    units_follow_table();
    EXPECT_EQ(fake_cgroups::dirs.count(container() + "/w"), 1u);  // its processes still there
    fake_files::files[container() + "/w/cgroup.procs"] = "";
    tidy_unit_cgroups();
    EXPECT_EQ(fake_cgroups::removed, std::vector<std::string>{container() + "/w"});
    EXPECT_FALSE(unit_cgroup_made("w"));
    end_units();
    EXPECT_EQ(fake_cgroups::removed.back(), container());
}

// The metrics count the processes of the task's own cgroup that started
// before its running child, and a CPU time that never goes down as the
// runs of a process tree come and go.
TEST_F(unit_end_test, the_metrics_count_the_units_own_and_never_go_down) {
    in_cgroup();
    task_table[2].task_pid = 1000;
    act("+1008<1@6000 +1009<1@8000");  // left by an earlier run; a daemon of this one
    fake_cgroups::join(1008, container() + "/w");
    fake_cgroups::join(1009, container() + "/w");
    fake_cgroups::join(1003, "/cg/sup");  // beside the supervisor: not the task's
    record_turn_begins();
    record_configuration(true, config_problem{});
    apply_metrics_path("/m.prom");
    write_metrics_file();
    EXPECT_NE(fake_system::replaced_text.find(
                  "vorn_restart_task_leftover_processes{slot=\"2\",name=\"w\"} 1\n"),
              std::string::npos)
        << fake_system::replaced_text;
    reset_metrics_output();
    apply_metrics_path("");

    SetUp();
    copy_text(task_table[2].task_name, "w");
    task_table[2].task_pid = 1000;
    fake_files::files["/proc/1000/stat"] =
        "1000 (sh) S 1 1 1 0 -1 0 0 0 0 0 100 100 300 0 20 0 1 0 7000 1 2";
    std::array<unit_reading, task_slot_count> readings{};
    read_units(readings);
    const unsigned long long first = readings[2].usage.cpu_usec;
    EXPECT_GT(first, 0u);
    act("-1000 +1010<1@9000");  // a new run, its own time still small
    task_table[2].task_pid = 1010;
    read_units(readings);
    EXPECT_GE(readings[2].usage.cpu_usec, first);
}

}  // namespace
}  // namespace vorn::testing
