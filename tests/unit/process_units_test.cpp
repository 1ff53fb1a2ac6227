// A task's unit: the parsers of what the kernel's files say, the process
// table, and the ends and cgroups of whole units through the fake system.
#include <algorithm>
#include <csignal>
#include <map>
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

// A process tree is noted before its main process gets its first signal,
// and a process gets SIGKILL only when it is proven a member at that moment.
TEST_F(unit_end_test, a_process_tree_is_ended_by_proof_only) {
    struct row {
        const char* what;
        void (*meanwhile)();  // between the noting and the SIGKILL
        std::vector<pid_t> killed;
    };
    const row rows[] = {
        // The deepest first; the stranger, the supervisor and pid 1 spared.
        {"the tree", [] {}, {1002, 1001}},
        // 1002 ended, its pid taken by a process of another's with a child of its own.
        {"a member's pid came round again",
         [] {
             processes::die(1002);
             processes::add(1002, 1003, 9000);
             processes::add(1005, 1002, 9001);
         },
         {1001}},
        // The main process reaped, its pid taken by a stranger's process with a child.
        {"the main's pid came round again",
         [] {
             processes::die(1000);
             processes::add(1000, 1003, 9000);
             processes::add(1006, 1000, 9001);
         },
         {1002, 1001}},
        // A child forked since: found through its parent, before that parent's own kill.
        {"forked since", [] { processes::add(1007, 1001, 8000); }, {1007, 1002, 1001}},
    };
    for (const bool handles : {false, true})
        for (const row& r : rows) {
            SetUp();
            fake_system::handles = handles;
            unit_ending("w", 1000);
            sys.send_signal(1000, SIGTERM);
            r.meanwhile();
            fake_system::signals.clear();
            unit_signal_rest("w", 1000, SIGKILL);
            std::vector<pid_t> killed = signalled(SIGKILL), expected = r.killed;
            std::sort(killed.begin(), killed.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(killed, expected) << r.what << (handles ? " (handles)" : "");
            // Each handle given back.
            for (const pid_t pid : r.killed)
                EXPECT_EQ(std::count(fake_system::closed.begin(), fake_system::closed.end(),
                                     fake_system::handle_base + pid),
                          handles ? 1 : 0)
                    << r.what;
        }
}

// What /proc shows is read process by process, not at one instant: a look
// may pair a process with a parent that is no longer the one it had.  Each
// is proven again at its signal, and a parent that started after its child
// is no parent.
TEST_F(unit_end_test, a_look_at_proc_that_has_aged_proves_nothing) {
    struct row {
        const char* what;
        void (*after_the_look)();
        std::vector<pid_t> killed;
    };
    const row rows[] = {
        // 1002 ended after the look; its pid is another's process now.
        {"a member's pid taken since the look",
         [] {
             processes::die(1002);
             processes::add(1002, 1003, 9999);
         },
         {1001, 1007}},
        // 1007 (forked since the noting) seen as 1001's child; 1001 ended and
        // its pid went to a stranger's process, which 1007's parent is now.
        {"a parent's pid taken since the look",
         [] {
             const auto kept = processes::table[1007];
             processes::die(1001);
             processes::add(1001, 1003, 7500);
             processes::add(1007, 1001, kept.start);
         },
         {1002}},
    };
    for (const row& r : rows) {
        SetUp();
        unit_ending("w", 1000);
        processes::add(1007, 1001, 8000);  // forked since the noting
        {
            const shared_process_look look;
            unit_ending("a", 1003);  // the look, taken here
            r.after_the_look();
            unit_signal_rest("w", 1000, SIGKILL);
        }
        std::vector<pid_t> killed = signalled(SIGKILL);
        std::sort(killed.begin(), killed.end());
        EXPECT_EQ(killed, r.killed) << r.what;
    }
    // A process read with a parent that started after it: no child of that
    // parent's, never noted, never signalled.
    SetUp();
    processes::add(1009, 1000, 9000);
    processes::add(1020, 1009, 5000);
    unit_ending("w", 1000);
    unit_signal_rest("w", 1000, SIGTERM);
    std::vector<pid_t> terms = signalled(SIGTERM);
    std::sort(terms.begin(), terms.end());
    EXPECT_EQ(terms, (std::vector<pid_t>{1001, 1002, 1009}));
}

TEST_F(unit_end_test, a_turn_ends_each_unit_from_one_look_at_proc) {
    end_unit_now("w", 1000);
    EXPECT_EQ(fake_system::killed, std::vector<pid_t>{1000});
    EXPECT_EQ(signalled(SIGKILL), (std::vector<pid_t>{1002, 1001}));
    // A second unit under the same look: /proc listed once for both.
    static int listings = 0;
    listings = 0;
    processes::add(1100, 1, 7100);
    processes::add(1101, 1100, 7101);
    sys.list_processes = [](pid_t* pids, std::size_t cap) {
        ++listings;
        const std::size_t n = std::min(cap, fake_files::pids.size());
        std::copy_n(fake_files::pids.begin(), n, pids);
        return static_cast<long>(n);
    };
    {
        const shared_process_look look;
        end_unit_now("a", 1003);
        end_unit_now("b", 1100);
    }
    EXPECT_EQ(listings, 1);
    EXPECT_EQ(signalled(SIGKILL), (std::vector<pid_t>{1002, 1001, 1101}));
}

// Each of 200 processes gets one SIGTERM, then one SIGKILL: no bound on a unit.
TEST_F(unit_end_test, every_process_of_a_large_unit_is_signalled_once) {
    for (const bool cgroup : {false, true}) {
        SetUp();
        if (cgroup) in_cgroup();
        for (pid_t pid = 2000; pid < 2200; ++pid) {
            processes::add(pid, 1000, 8000);
            if (cgroup) fake_cgroups::join(pid, container() + "/w");
        }
        unit_ending("w", 1000);
        sys.send_signal(1000, SIGTERM);
        unit_signal_rest("w", 1000, SIGTERM);
        std::vector<pid_t> terms = signalled(SIGTERM);
        std::sort(terms.begin(), terms.end());
        std::vector<pid_t> expected{1000, 1001, 1002};
        for (pid_t pid = 2000; pid < 2200; ++pid) expected.push_back(pid);
        EXPECT_EQ(terms, expected) << (cgroup ? "cgroup" : "tree");
        if (cgroup) continue;  // cgroup.kill, below
        unit_signal_rest("w", 1000, SIGKILL);
        std::vector<pid_t> kills = signalled(SIGKILL);
        std::sort(kills.begin(), kills.end());
        expected.erase(expected.begin());  // the main gets its own
        EXPECT_EQ(kills, expected);
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
    sys.send_signal(1000, SIGTERM);
    unit_signal_rest("w", 1000, SIGTERM);
    EXPECT_EQ(signalled(SIGTERM), (std::vector<pid_t>{1000, 1001, 1002}));
    fake_system::signals.clear();
    unit_signal_rest("w", 1000, SIGKILL);
    EXPECT_EQ(fake_cgroups::written.back(), container() + "/w/cgroup.kill <- 1");
    EXPECT_TRUE(fake_system::signals.empty());
    // Nothing to kill: no cgroup.kill, which would keep children from being
    // started into the cgroup by clone3 on some kernels.
    fake_cgroups::written.clear();
    fake_files::files[container() + "/w/cgroup.events"] = "populated 0\nfrozen 0\n";
    unit_signal_rest("w", 1000, SIGKILL);
    EXPECT_TRUE(fake_cgroups::written.empty());
    fake_files::files[container() + "/w/cgroup.events"] = "populated 1\nfrozen 0\n";
    // Not made in this run: left alone, as is a unit never noted.
    fake_cgroups::dirs.insert(container() + "/other");
    fake_cgroups::join(1003, container() + "/other");
    unit_signal_rest("other", 999, SIGKILL);
    EXPECT_TRUE(fake_cgroups::written.empty());
    EXPECT_TRUE(fake_system::signals.empty());
    // A kernel without cgroup.kill: each process in it.
    sys.open_for_writing = [](const char*) { return errno = ENOENT, -1; };
    unit_signal_rest("w", 1000, SIGKILL);
    EXPECT_EQ(signalled(SIGKILL), (std::vector<pid_t>{1001, 1002}));
}

// The container and the task cgroups are made afresh; what the supervisor
// did not make is not taken.
TEST_F(unit_end_test, the_container_is_made_afresh_or_not_trusted) {
    struct row {
        const char* what;
        void (*before)();
        bool cgroups;
        const char* complaint;
    };
    const row rows[] = {
        {"none there", [] {}, true, ""},
        {"an empty one with an empty cgroup",
         [] {
             fake_cgroups::dirs.insert("/cg/sup/vorn_restart.tasks");
             fake_cgroups::dirs.insert("/cg/sup/vorn_restart.tasks/old");
         },
         true, ""},
        {"one holding processes",
         [] {
             fake_cgroups::dirs.insert("/cg/sup/vorn_restart.tasks");
             fake_cgroups::dirs.insert("/cg/sup/vorn_restart.tasks/old");
             fake_cgroups::join(1003, "/cg/sup/vorn_restart.tasks/old");
         },
         false,
         "vorn_restart: no cgroup for the tasks (/cg/sup/vorn_restart.tasks: not trusted: it "
         "holds processes vorn_restart did not put there): their processes are followed as "
         "process trees\n"},
        {"one another user may write to",
         [] {
             fake_cgroups::dirs.insert("/cg/sup/vorn_restart.tasks");
             fake_cgroups::dirs.insert("/cg/sup/vorn_restart.tasks/old");
             struct stat info {};
             info.st_mode = S_IFDIR | 0775;
             fake_files::infos["/cg/sup/vorn_restart.tasks"] = info;
         },
         false,
         "vorn_restart: no cgroup for the tasks (/cg/sup/vorn_restart.tasks: not trusted: "
         "others than root may write to it): their processes are followed as process trees\n"},
    };
    for (const row& r : rows) {
        SetUp();
        fake_cgroups::install();
        r.before();
        fake_files::files["/cg/sup/vorn_restart.tasks/cgroup.controllers"] = "cpu memory pids\n";
        CaptureStderr();
        setup_units();
        EXPECT_EQ(GetCapturedStderr(), r.complaint) << r.what;
        EXPECT_EQ(units.cgroups, r.cgroups) << r.what;
        EXPECT_EQ(fake_cgroups::dirs.count("/cg/sup/vorn_restart.tasks/old"), r.cgroups ? 0u : 1u)
            << r.what;
        // The supervisor in its leaf, the memory controller on where it is offered.
        const std::vector<std::string> joined{
            "/cg/sup/vorn_restart.supervisor/cgroup.procs <- 0",
            "/cg/sup/vorn_restart.tasks/cgroup.subtree_control <- +memory"};
        EXPECT_EQ(fake_cgroups::written, r.cgroups ? joined : std::vector<std::string>{}) << r.what;
    }
}

TEST_F(unit_end_test, a_task_cgroup_is_made_afresh_or_its_start_refused) {
    struct row {
        const char* what;
        void (*before)();
        start_step step;
        const char* refusal;
    };
    const row rows[] = {
        {"none there", [] {}, start_step::none, ""},
        {"an empty one", [] { fake_cgroups::dirs.insert(fake_cgroups::container() + "/w"); },
         start_step::none, ""},
        {"one holding a process of another's",
         [] {
             fake_cgroups::dirs.insert(fake_cgroups::container() + "/w");
             fake_cgroups::join(1003, fake_cgroups::container() + "/w");
         },
         start_step::cgroup,
         "cannot make its cgroup afresh: it holds processes vorn_restart did not put there"},
    };
    for (const row& r : rows) {
        SetUp();
        fake_cgroups::install();
        setup_units();
        r.before();
        fake_cgroups::made.clear();
        copy_text(task_table[2].task_name, "w");
        child_plan plan = plan_child(nullptr, false);
        unit_start start = begin_unit_start(2, &plan);
        EXPECT_EQ(plan.cgroup_refused.step, r.step) << r.what;
        std::array<char, start_failure_text_size> why{};
        if (r.step != start_step::none)
            describe_start_failure(plan.cgroup_refused, nullptr, "cannot ", why.data(), why.size());
        EXPECT_STREQ(why.data(), r.refusal) << r.what;
        const bool fresh = r.step == start_step::none;
        EXPECT_EQ(fake_cgroups::made,
                  fresh ? std::vector<std::string>{container() + "/w"} : std::vector<std::string>{})
            << r.what;
        EXPECT_EQ(start.cgroup_fd >= 0, fresh) << r.what;
        EXPECT_EQ(unit_cgroup_made("w"), fresh) << r.what;
        end_unit_start(start, &plan);
    }
}

// Where the kernel starts a child in its cgroup it is not asked to join;
// where it cannot, the child joins as its first step, and the kernel is
// not asked again.
TEST_F(unit_end_test, a_child_starts_in_its_cgroup_else_joins_it) {
    fake_cgroups::install();
    setup_units();
    copy_text(task_table[2].task_name, "w");
    copy_text(task_table[2].task_path, "/bin/w");
    fake_cgroups::clone_error = 0;
    ASSERT_GT(start_task(2), 0);
    EXPECT_EQ(fake_cgroups::clone_fds.size(), 1u);
    EXPECT_EQ(fake_system::forked, std::vector<pid_t>{1000});
    fake_cgroups::clone_error = ENOSYS;
    ASSERT_GT(start_task(2), 0);
    ASSERT_GT(start_task(2), 0);
    EXPECT_EQ(fake_system::forked.size(), 3u);
    EXPECT_EQ(fake_cgroups::clone_fds.size(), 2u);  // not asked a second time
    std::vector<std::string> procs;
    for (const auto& [fd, path] : fake_cgroups::open)
        if (path.ends_with("/w/cgroup.procs")) procs.push_back(path);
    EXPECT_EQ(procs, (std::vector<std::string>(2, container() + "/w/cgroup.procs")));
}

// After a cgroup.kill no child is started into that cgroup by clone3 (some
// kernels kill such a child at once): it joins the cgroup while the cgroup
// still holds processes, and the cgroup is made afresh once it is empty.
TEST_F(unit_end_test, after_a_cgroup_kill_a_child_joins_or_gets_a_fresh_cgroup) {
    in_cgroup();
    copy_text(task_table[2].task_path, "/bin/w");
    fake_cgroups::clone_error = 0;
    unit_signal_rest("w", 1000, SIGKILL);
    fake_cgroups::made.clear();
    ASSERT_GT(start_task(2), 0);
    EXPECT_TRUE(fake_cgroups::clone_fds.empty());
    EXPECT_EQ(fake_cgroups::open.rbegin()->second, container() + "/w/cgroup.procs");
    fake_files::files[container() + "/w/cgroup.procs"] = "";
    ASSERT_GT(start_task(2), 0);
    EXPECT_EQ(fake_cgroups::made, std::vector<std::string>{container() + "/w"});
    EXPECT_EQ(fake_cgroups::clone_fds.size(), 1u);
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

// What the metrics read: leftovers in the task's own cgroup (processes
// that started before its running child), and a CPU time that never goes
// down as the runs of a process tree come and go.
TEST_F(unit_end_test, usage_counts_the_units_own_processes_and_never_goes_down) {
    in_cgroup();
    task_table[2].task_pid = 1000;
    processes::add(1008, 1, 6000);  // before the main: left by an earlier run
    processes::add(1009, 1, 8000);  // a daemon of this run
    fake_cgroups::join(1008, container() + "/w");
    fake_cgroups::join(1009, container() + "/w");
    fake_cgroups::join(1003, "/cg/sup");  // beside the supervisor: not the task's
    std::array<unit_reading, task_slot_count> readings{};
    read_units(readings);
    EXPECT_EQ(readings[2].leftovers, 1);

    SetUp();
    copy_text(task_table[2].task_name, "w");
    task_table[2].task_pid = 1000;
    fake_files::files["/proc/1000/stat"] =
        "1000 (sh) S 1 1 1 0 -1 0 0 0 0 0 100 100 300 0 20 0 1 0 7000 1 2";
    read_units(readings);
    const unsigned long long first = readings[2].usage.cpu_usec;
    EXPECT_GT(first, 0u);
    // A new run, its own time still small: the total goes on from the first.
    processes::die(1000);
    processes::add(1010, 1, 9000);
    task_table[2].task_pid = 1010;
    read_units(readings);
    EXPECT_GE(readings[2].usage.cpu_usec, first);
}

TEST_F(unit_end_test, the_metrics_count_leftovers_in_the_tasks_cgroup) {
    in_cgroup();
    task_table[2].task_pid = 1000;
    processes::add(1008, 1, 6000);
    fake_cgroups::join(1008, container() + "/w");
    fake_cgroups::join(1003, "/cg/sup");
    fake_cgroups::join(1004, "/cg/sup");
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
}

}  // namespace
}  // namespace vorn::testing
