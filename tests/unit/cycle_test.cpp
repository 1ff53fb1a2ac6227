#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/control.hpp"
#include "supervise/cycle.hpp"
#include "supervise/task_log.hpp"
#include "supervise/watch.hpp"
#include "tasks/task_table.hpp"

namespace vorn {
namespace {

using testing::exit_status;
using testing::fake_system;
using testing::signal_status;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using cycle_test = testing::supervisor_test;

void put_task(std::size_t slot, const char* name, std::int32_t mode, std::int32_t system,
              std::int32_t pid) {
    task_info& t = task_table[slot];
    t = empty_task;
    copy_text(t.task_name, name);
    t.task_mode = mode;
    t.task_system = system;
    t.task_pid = pid;
}

TEST_F(cycle_test, start_pass_starts_due_slots_in_order) {
    put_task(0, "up", mode_always, 1, 0);
    put_task(1, "running", mode_always, 1, 55);
    put_task(2, "off", mode_none, 0, 0);
    put_task(3, "once", mode_once, 0, 0);
    start_pass();
    EXPECT_EQ(fake_system::forked, (std::vector<pid_t>{1000, 1001}));
    EXPECT_EQ(task_table[0].task_pid, 1000);
    EXPECT_EQ(task_table[1].task_pid, 55);
    EXPECT_EQ(task_table[2].task_pid, 0);
    EXPECT_EQ(task_table[3].task_pid, 1001);
}

TEST_F(cycle_test, failed_fork_ends_the_start_pass_and_changes_no_slot) {
    put_task(0, "a", mode_always, 1, 0);
    put_task(1, "b", mode_always, 1, 0);
    put_task(2, "c", mode_always, 0, 0);
    fake_system::fork_failures = 1;
    CaptureStderr();
    EXPECT_EQ(run_pass(), pass_outcome::go_on);
    EXPECT_EQ(GetCapturedStderr(), "fork: Resource temporarily unavailable\n");
    EXPECT_TRUE(fake_system::forked.empty());  // b and c were not tried
    EXPECT_EQ(task_table[0].task_pid, 0);
    EXPECT_EQ(fake_system::reap_calls, 1);  // the pass went on with its reap step
    EXPECT_EQ(fake_system::sleeps, (std::vector<unsigned>{5}));
    run_pass();
    EXPECT_EQ(fake_system::forked.size(), 3u);
}

TEST_F(cycle_test, held_back_slot_is_skipped_and_asked_again) {
    put_task(0, "held", mode_always, 0, 0);
    fake_system::existing = {"/tmp/.held.nr"};
    CaptureStdout();
    run_pass();
    run_pass();
    EXPECT_EQ(GetCapturedStdout(), "held not run: /tmp/.held.nr\nheld not run: /tmp/.held.nr\n");
    EXPECT_TRUE(fake_system::forked.empty());
    fake_system::existing.clear();
    run_pass();
    EXPECT_EQ(task_table[0].task_pid, 1000);
}

TEST_F(cycle_test, idle_pass_with_nothing_to_run_only_sleeps) {
    put_task(0, "off", mode_none, 1, 0);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(run_pass(), pass_outcome::go_on);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(fake_system::sleeps, (std::vector<unsigned>{5}));
}

TEST_F(cycle_test, ended_task_is_started_again_in_the_next_pass) {
    put_task(0, "up", mode_always, 1, 10);
    put_task(1, "worker", mode_always, 0, 11);
    put_task(2, "single", mode_once, 0, 0);
    fake_system::reaps = {{11, exit_status(3)}};
    run_pass();  // starts single, reaps worker
    EXPECT_EQ(task_table[1].task_pid, 0);
    EXPECT_EQ(task_table[2].task_mode, mode_none);  // any reap ends `once`
    EXPECT_EQ(task_table[2].task_pid, 1000);
    run_pass();
    EXPECT_EQ(task_table[1].task_pid, 1001);
}

TEST_F(cycle_test, only_one_slot_child_is_reaped_per_pass_but_killed_ones_are_collected) {
    put_task(0, "up", mode_always, 1, 10);
    put_task(1, "a", mode_always, 0, 11);
    put_task(2, "b", mode_always, 0, 12);
    // 90 and 91 were killed earlier and stand in no slot.
    fake_system::reaps = {
        {90, signal_status(SIGKILL)}, {91, signal_status(SIGKILL)}, {11, 0}, {12, 0}};
    run_pass();
    EXPECT_EQ(task_table[1].task_pid, 0);
    EXPECT_EQ(task_table[2].task_pid, 12);  // left for the next pass
    EXPECT_EQ(fake_system::reaps.size(), 1u);
}

TEST_F(cycle_test, updater_exit_0_kills_running_tasks_and_ends_the_turn) {
    put_task(0, "vorn_update", mode_always, 1, 10);
    put_task(1, "vorn_monitor", mode_always, 1, 11);
    put_task(2, "worker", mode_always, 0, 12);
    put_task(3, "single", mode_once, 0, 13);    // becomes `none` first: not killed
    put_task(4, "disabled", mode_none, 0, 14);  // not killed, but forgotten
    put_task(5, "extra", mode_always, 2, 15);
    stdout_stderr_fd = 7;
    fake_system::reaps = {{10, 0}};
    CaptureStderr();
    EXPECT_EQ(run_pass(), pass_outcome::new_turn);
    EXPECT_EQ(GetCapturedStderr(), "kill vorn_monitor\nkill worker\nkill extra\n");
    EXPECT_EQ(fake_system::killed, (std::vector<pid_t>{11, 12, 15}));
    for (const task_info& t : task_table) EXPECT_EQ(t.task_pid, 0);
    EXPECT_EQ(fake_system::closed, (std::vector<int>{7}));
    EXPECT_TRUE(fake_system::sleeps.empty());  // the next turn begins at once
}

TEST_F(cycle_test, updater_exit_0_in_debug_mode_keeps_the_descriptors) {
    debug_mode = 1;
    put_task(0, "vorn_update", mode_always, 1, 10);
    fake_system::reaps = {{10, 0}};
    EXPECT_EQ(run_pass(), pass_outcome::new_turn);
    EXPECT_TRUE(fake_system::closed.empty());
}

TEST_F(cycle_test, updater_exit_1_kills_only_system_1_tasks) {
    put_task(0, "vorn_update", mode_always, 1, 10);
    put_task(1, "vorn_monitor", mode_always, 1, 11);
    put_task(2, "worker", mode_always, 0, 12);
    put_task(3, "other", mode_always, 2, 13);
    put_task(4, "idle", mode_none, 1, 14);
    fake_system::reaps = {{10, exit_status(1)}};
    CaptureStderr();
    EXPECT_EQ(run_pass(), pass_outcome::go_on);
    EXPECT_EQ(GetCapturedStderr(), "kill vorn_monitor...........................\n");
    EXPECT_EQ(fake_system::killed, (std::vector<pid_t>{11}));
    EXPECT_EQ(task_table[0].task_pid, 0);
    EXPECT_EQ(task_table[1].task_pid, 0);
    EXPECT_EQ(task_table[2].task_pid, 12);
    EXPECT_EQ(task_table[3].task_pid, 13);
    EXPECT_EQ(task_table[4].task_pid, 14);
    EXPECT_EQ(fake_system::sleeps, (std::vector<unsigned>{5}));
    run_pass();  // updater and monitor come back
    EXPECT_EQ(fake_system::forked, (std::vector<pid_t>{1000, 1001}));
}

TEST_F(cycle_test, other_updater_endings_only_restart_it) {
    const int statuses[] = {exit_status(2), exit_status(255), signal_status(SIGKILL),
                            signal_status(SIGSEGV)};
    for (int status : statuses) {
        SCOPED_TRACE(status);
        fake_system::reset();
        put_task(0, "vorn_update", mode_always, 1, 10);
        put_task(1, "vorn_monitor", mode_always, 1, 11);
        put_task(2, "single", mode_once, 0, 0);
        fake_system::reaps = {{10, status}};
        CaptureStderr();
        EXPECT_EQ(updater_exited(10, status), pass_outcome::go_on);
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_TRUE(fake_system::killed.empty());
        EXPECT_EQ(task_table[0].task_pid, 0);
        EXPECT_EQ(task_table[1].task_pid, 11);
        EXPECT_EQ(task_table[2].task_mode, mode_none);
    }
}

TEST_F(cycle_test, late_reap_of_a_killed_child_keeps_the_new_pid) {
    put_task(0, "vorn_update", mode_always, 1, 10);
    put_task(1, "vorn_monitor", mode_always, 1, 11);
    fake_system::reaps = {{10, 0}};
    CaptureStderr();
    run_pass();
    GetCapturedStderr();
    start_pass();  // new children 1000 and 1001
    fake_system::reaps = {{11, signal_status(SIGKILL)}};
    run_pass();
    EXPECT_EQ(task_table[1].task_pid, 1001);
}

TEST_F(cycle_test, turn_dumps_and_runs_passes_until_updater_exit_0) {
    fake_system::file_text = R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                                           {"name": "w", "argument": ["-v"]}]})";
    // Pass 1 starts 1000..1002; pass 2 reaps nothing; pass 3 sees the updater exit 0.
    CaptureStdout();
    CaptureStderr();
    struct scripted {
        static pid_t reap(int* status) {
            ++fake_system::reap_calls;
            if (fake_system::reap_calls == 3) {
                *status = 0;
                return 1000;
            }
            return -1;
        }
    };
    sys.reap_any = scripted::reap;
    run_turn();
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(fake_system::opened, 1);
    EXPECT_EQ(fake_system::closed, (std::vector<int>{7}));
    EXPECT_EQ(out.rfind("task_info_size: 5\n\nstdout_stderr_fd: 7\n\n", 0), 0u) << out;
    EXPECT_EQ(err, "kill vorn_monitor\nkill w\n");
    EXPECT_EQ(fake_system::forked.size(), 3u);
    EXPECT_EQ(fake_system::sleeps, (std::vector<unsigned>{5, 5}));
    EXPECT_EQ(fake_system::killed_by_name,
              (std::vector<std::string>{"vorn_update", "vorn_monitor", "vorn_update",
                                        "vorn_monitor", "w"}));
}

TEST_F(cycle_test, unusable_configuration_starts_nothing_and_waits_30_seconds) {
    fake_system::file_text = R"({"tasks": [{"name": "a"}, {"name": 3}]})";
    CaptureStdout();
    run_turn();
    EXPECT_EQ(GetCapturedStdout(), "");  // no dump
    EXPECT_TRUE(fake_system::forked.empty());
    EXPECT_EQ(fake_system::reap_calls, 1);  // no child left: the wait stays whole
    EXPECT_EQ(fake_system::sleeps, (std::vector<unsigned>{30}));
    EXPECT_EQ(fake_system::closed, (std::vector<int>{7}));

    // Children killed when the last turn ended, one not ended yet: reaped in the wait.
    fake_system::reset();
    fake_system::reaps = {{90, signal_status(SIGKILL)}, {0, 0}, {91, signal_status(SIGKILL)}};
    run_turn();
    EXPECT_TRUE(fake_system::reaps.empty());
    EXPECT_EQ(fake_system::sleeps, (std::vector<unsigned>{5, 25}));

    fake_system::reset();
    debug_mode = 1;
    fake_system::file_present = false;
    CaptureStderr();
    run_turn();
    EXPECT_EQ(GetCapturedStderr(), "fopen: No such file or directory\n");
    EXPECT_EQ(fake_system::opened, 0);
    EXPECT_TRUE(fake_system::closed.empty());
    EXPECT_EQ(fake_system::sleeps, (std::vector<unsigned>{30}));
}

// Every timed wait is a deadline on the boot clock: the channel becoming
// ready 1 ms before it and 1 ms after it (a connection that is not there
// yet when accepted) neither brings it forward nor puts it off.
TEST_F(cycle_test, each_deadline_holds_whatever_wakes_the_wait_around_it) {
    constexpr int channel = 70;
    const auto time_of_answer = [] {
        return fake_system::answers.empty() ? -1 : fake_system::answers[0].first;
    };
    struct row {
        const char* what;
        long long deadline;  // ms after the start
        std::function<void(long long start)> run;
        std::function<long long()> met;  // when it took effect, -1: never
    };
    const std::vector<row> rows = {
        {"the next pass", 5000, [](long long) { run_pass(); },
         [] { return sys.boot_milliseconds(); }},
        // A pass that takes 700 ms (its reap step here): the next one is due
        // a pass after its end, not after its start.
        {"the next pass after a long one", 5700,
         [](long long) {
             sys.reap_any = [](int*) {
                 fake_system::boot_ms += 700;
                 return pid_t{0};
             };
             run_pass();
         },
         [] { return sys.boot_milliseconds(); }},
        {"the grace before SIGKILL", 3000,
         [](long long start) {
             put_task(2, "worker", mode_always, 0, 1001);
             fake_system::clients = {{0, "restart worker 3000\n"}};
             fake_system::firings.push_back({start, channel});
             rest(start + 10000);
         },
         [] {
             for (const auto& s : fake_system::signals)
                 if (s.signal == SIGKILL) return s.at_ms;
             return -1LL;
         }},
        {"the wait after an unusable file", 30000,
         [](long long) {
             fake_system::file_text = R"({"tasks": [{"name": 3}]})";
             run_turn();
         },
         [] { return sys.boot_milliseconds(); }},
        {"a client's time for its request", 5000,
         [](long long start) {
             fake_system::clients = {{0, ""}};
             fake_system::firings.push_back({start, channel});
             rest(start + 10000);
         },
         time_of_answer},
        {"a kick of the watchdog", 2000,
         [](long long start) {
             watch.device_fd = fake_system::client_base + 99;  // its writes are kept as answers
             watch.piece_seconds = 2;
             watch.kicked_ms = start;
             rest(start + 3000);
         },
         time_of_answer},
        {"a look at a fast log", 10,
         [](long long start) {
             ASSERT_EQ(apply_log_path("/logs"), path_result::ok);
             begin_log_turn();
             put_task(2, "worker", mode_always, 0, 0);
             start_pass();
             task_logs.look_ms = 10;
             task_logs.looked_ms = start;
             rest(start + 15);
         },
         [] { return task_logs.looked_ms; }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        SetUp();
        reset_control();
        control.listen_fd = channel;
        CaptureStderr();
        const long long start = sys.boot_milliseconds();
        fake_system::firings = {{start + r.deadline - 1, channel},
                                {start + r.deadline + 1, channel}};
        r.run(start);
        GetCapturedStderr();
        EXPECT_EQ(r.met(), start + r.deadline);
    }
    reset_control();
}

// The channel is opened only in a directory no one else may write to, in
// place of nothing or of a socket of its own user's left there.
TEST_F(cycle_test, control_channel_only_in_a_directory_of_its_own) {
    static struct stat dir {};
    static struct stat left {};
    static int listens = 0;
    const struct {
        const char* what;
        mode_t mode;
        uid_t owner;
        bool opened;
        mode_t left_mode = 0;  // what is at the channel's path, 0: nothing
        uid_t left_owner = 0;
    } rows[] = {
        {"its own, 0750", S_IFDIR | 0750, 0, true},
        {"others may write", S_IFDIR | 0777, 0, false},
        {"its group may write", S_IFDIR | 0770, 0, false},
        {"another user's", S_IFDIR | 0750, 5, false},
        {"a link", S_IFLNK | 0777, 0, false},
        {"its own socket left there", S_IFDIR | 0750, 0, true, S_IFSOCK | 0600},
        {"another user's socket there", S_IFDIR | 0750, 0, false, S_IFSOCK | 0600, 5},
        {"a file there", S_IFDIR | 0750, 0, false, S_IFREG | 0600},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        SetUp();
        ASSERT_EQ(apply_status_path("/run/vr/vorn_restart.status"), path_result::ok);
        dir = {};
        dir.st_mode = r.mode;
        dir.st_uid = r.owner;
        left = {};
        left.st_mode = r.left_mode;
        left.st_uid = r.left_owner;
        listens = 0;
        sys.lstat_path = [](const char* path, struct stat* info) {
            *info = std::string(path) == "/run/vr" ? dir : left;
            if (info->st_mode == 0) {
                errno = ENOENT;
                return -1;
            }
            return 0;
        };
        sys.listen_at = [](const char*) { return ++listens, 77; };
        sys.read_file_info = [](const char*, char*, std::size_t, struct stat*) {
            errno = ENOENT;
            return -1L;
        };
        reset_control();
        CaptureStderr();
        open_control_channel();
        GetCapturedStderr();
        EXPECT_EQ(listens, r.opened ? 1 : 0);
        EXPECT_EQ(control.listen_fd, r.opened ? 77 : -1);
    }
    reset_control();
}

TEST_F(cycle_test, null_device_failure_ends_the_program_with_status_1) {
    fake_system::null_fd = -1;
    EXPECT_EXIT(run_turn(), ::testing::ExitedWithCode(1), "^open: ");
}

}  // namespace
}  // namespace vorn
