#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/control.hpp"
#include "supervise/cycle.hpp"
#include "supervise/task_log.hpp"

namespace vorn {
namespace {

using testing::exit_status;
using testing::fake_logs;
using testing::fake_system;
using testing::signal_status;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using task_log_test = testing::supervisor_test;

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

constexpr char stamp[] = "2025-12-08T00:00:00Z vorn_restart: ";  // the fake clock

// What the wait does when the write watch tells of a write.
void written_to_logs() {
    struct pollfd watch = {task_logs.notify_fd, POLLIN, POLLIN};
    serve_task_logs(&watch, 1, sys.boot_milliseconds());
}

// The updater in slot 0 and a worker in slot 2, started by a pass with
// logs in /logs unless `held` (by a marker or the operator's hold).
void start_worker(std::int32_t system = 0, bool held = false) {
    ASSERT_EQ(apply_log_path("/logs"), path_result::ok);
    ASSERT_TRUE(apply_log_size("4096"));
    begin_log_turn();
    for (const auto& [slot, name] : {std::pair{0, "vorn_update"}, std::pair{2, "worker"}}) {
        task_info& t = task_table[slot];
        copy_text(t.task_name, name);
        t.task_mode = mode_always;
        t.task_system = slot == 0 ? 1 : system;
    }
    if (held) record_configuration(true, config_problem{});
    start_pass();
    ASSERT_EQ(task_table[2].task_pid != 0, !held);
}

TEST_F(task_log_test, each_end_is_one_line_and_closes_the_log) {
    struct row {
        const char* how;
        std::function<void()> end;
        std::string line;
        std::string before = "";  // the operator's command, said when it came
    };
    const std::vector<row> rows = {
        {"exit", [] { fake_system::ended[1001] = exit_status(3); }, "ended with code 3"},
        {"signal", [] { fake_system::ended[1001] = signal_status(SIGSEGV); },
         "killed by signal 11"},
        {"updater 0",
         [] {
             fake_system::reaps = {{1000, exit_status(0)}};
         },
         "killed: the updater ended with 0"},
        {"updater 1, system 1",
         [] {
             fake_system::reaps = {{1000, exit_status(1)}};
         },
         "killed: the updater ended with 1"},
        {"the operator's restart",
         [] {
             sys.send_signal = [](pid_t pid, int signal) {
                 fake_system::ended[pid] = signal_status(signal);
                 return 0;
             };
             control.listen_fd = 70;
             fake_system::clients = {{0, "restart worker\n"}};
             fake_system::firings = {{sys.boot_milliseconds() + 100, 70}};
         },
         "killed by signal 15", std::string(stamp) + "worker restarted by uid 0\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.how);
        SetUp();
        reset_control();
        start_worker(1);
        r.end();
        CaptureStderr();
        run_pass();
        GetCapturedStderr();
        EXPECT_EQ(fake_logs::files["worker.log"],
                  r.before + stamp + std::string("worker (pid 1001) ") + r.line + "\n");
        // Closed, but where the restart's new child writes to it.
        EXPECT_EQ(task_logs.slots[2].fd == -1, r.before.empty());
    }
    reset_control();
}

TEST_F(task_log_test, rotation_keeps_the_newest_whole_lines_and_the_descriptor) {
    start_worker();
    const int fd = task_logs.slots[2].fd;
    std::string& log = fake_logs::files["worker.log"];
    for (int i = 1; i <= 600; ++i) log += "line " + std::to_string(i) + "\n";  // 5,292 bytes
    written_to_logs();
    const std::string older = fake_logs::files["worker.log.1"];
    EXPECT_LE(older.size(), 4096u);
    // The newest 4,096 bytes begin 1 byte into "line 145": the copy begins at the next line.
    EXPECT_EQ(older.substr(0, older.find('\n')), "line 146");
    EXPECT_TRUE(older.ends_with("line 600\n"));
    EXPECT_EQ(fake_logs::files["worker.log"], "");
    EXPECT_EQ(task_logs.slots[2].fd, fd);
    EXPECT_EQ(fake_system::forked.size(), 2u);  // no restart

    // A copy that cannot be made still empties the log, and is said once.
    fake_logs::create_error = ENOSPC;
    CaptureStderr();
    for (int round = 0; round < 2; ++round) {
        fake_logs::files["worker.log"] = std::string(5000, 'x');
        rotate_task_logs();
        EXPECT_EQ(fake_logs::files["worker.log"], "");
    }
    EXPECT_EQ(count_of(GetCapturedStderr(), "cannot keep the older lines"), 1u);
    EXPECT_EQ(fake_logs::files.count("worker.log.1"), 0u);  // removed before the copy
}

TEST_F(task_log_test, unusable_directories_and_planted_names_are_said_once) {
    struct row {
        const char* kind;
        std::function<void()> make;
        std::string said;
    };
    const std::vector<row> rows = {
        {"other owner", [] { fake_logs::dir_info.st_uid = 1000; }, "it belongs to uid 1000"},
        {"group-writable", [] { fake_logs::dir_info.st_mode = S_IFDIR | 0770; }, "(mode 0770)"},
        {"not a directory", [] { fake_logs::dir_error = ENOTDIR; }, "it is not a directory"},
        {"link at the log", [] { fake_logs::planted["worker.log"] = S_IFLNK; },
         "worker.log: it is a symbolic link"},
        {"FIFO at the log", [] { fake_logs::planted["worker.log"] = S_IFIFO | 0640; },
         "worker.log: it is not a regular file"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.kind);
        SetUp();
        r.make();
        CaptureStderr();
        for (int turn = 0; turn < 2; ++turn) {
            for (task_info& t : task_table) t.task_pid = 0;
            start_worker();
            EXPECT_EQ(task_logs.slots[2].fd, -1);
        }
        EXPECT_EQ(count_of(GetCapturedStderr(), r.said), 1u);
        EXPECT_TRUE(fake_logs::files["worker.log"].empty());
    }
}

// A directory removed, replaced or opened to others while tasks run: said,
// opened again at once and, while that fails, every 30 s; the status file
// says the problem while it lasts, and a task started afterwards logs there.
TEST_F(task_log_test, a_lost_directory_is_opened_again) {
    struct row {
        const char* kind;
        std::function<void()> lose, mend;
        std::string said;     // once in all
        std::string problem;  // in the status file until mended, "" when none
    };
    const std::vector<row> rows = {
        {"removed", [] { fake_logs::lstat_error = ENOENT; }, [] { fake_logs::lstat_error = 0; },
         "the log directory /logs: it was removed; opening it again", ""},
        {"replaced", [] { fake_logs::dir_info.st_ino = 7; }, [] {},
         "the log directory /logs: it was replaced by another; opening it again", ""},
        {"removed for good", [] { fake_logs::lstat_error = fake_logs::dir_error = ENOENT; },
         [] { fake_logs::lstat_error = fake_logs::dir_error = 0; },
         "cannot use the log directory /logs: No such file or directory",
         "/logs: No such file or directory"},
        {"opened to others", [] { fake_logs::dir_info.st_mode = S_IFDIR | 0777; },
         [] { fake_logs::dir_info.st_mode = S_IFDIR | 0750; }, "cannot use the log directory",
         "/logs: group or others can write to it (mode 0777)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.kind);
        SetUp();
        start_worker();
        CaptureStderr();
        r.lose();
        run_pass();
        EXPECT_EQ(std::string(task_logs.problem.data()), r.problem);
        r.mend();
        if (!r.problem.empty()) {
            EXPECT_NE(fake_system::replaced_text.find(r.problem), std::string::npos);
            EXPECT_FALSE(logs_in_use());    // a start meanwhile would have no log
            fake_system::boot_clock += 24;  // with the pass's 5 s: 29 s after the failure
            run_pass();
            EXPECT_EQ(std::string(task_logs.problem.data()), r.problem);  // not tried yet
            fake_system::boot_clock += 1;
            run_pass();
        }
        EXPECT_EQ(std::string(task_logs.problem.data()), "");
        EXPECT_TRUE(logs_in_use());
        fake_system::reaps = {{1001, exit_status(3)}};
        run_pass();
        run_pass();
        EXPECT_EQ(task_table[2].task_pid, 1002);
        EXPECT_GE(task_logs.slots[2].fd, 0);
        EXPECT_EQ(count_of(GetCapturedStderr(), r.said), 1u);
    }
}

// The supervisor's lines show a control byte of a task name or marker as
// '?', as they show one of the command line: each stays one line.
TEST_F(task_log_test, names_are_shown_as_the_command_line_is) {
    ASSERT_EQ(apply_log_path("/logs"), path_result::ok);
    begin_log_turn();
    const std::string name = "esc\x1b[31mred\nx";
    copy_text(task_table[2].task_name, name);
    task_table[2].task_mode = mode_always;
    start_pass();
    child_log started{};
    const char* const argv[] = {"/s/esc\x1b", nullptr};
    open_task_log(2, argv, started);
    EXPECT_EQ(std::string(started.head.data()) + "1000" + started.tail.data(),
              stamp + std::string("started esc?[31mred?x (pid 1000): /s/esc?\n"));
    log_task_held(2, "/run/m\x1b");
    log_task_ended(2, exit_status(3));
    const std::string& log = fake_logs::files[name + ".log"];
    EXPECT_NE(log.find(stamp + std::string("esc?[31mred?x held back by /run/m?\n")),
              std::string::npos)
        << log;
    EXPECT_TRUE(log.ends_with(stamp + std::string("esc?[31mred?x (pid 1000) ended with code 3\n")))
        << log;
    EXPECT_EQ(count_of(log, "\n"), 2u);
}

// A child left behind by the worker writes 1 MB/s on after its end (way 0,
// or EXDEV: the copy through the buffer when the kernel cannot copy), or
// while a marker (way 1) or the operator's hold kept from before (way 2)
// holds the worker, under a bound of 4 KB: its first write cuts the calm
// pass short, then looks every min_log_look_ms hold the log near the
// bound; once it is quiet, a pass is one sleep again.
TEST_F(task_log_test, a_log_written_after_its_task_ended_is_held_near_its_bound) {
    for (const int way : {0, EXDEV, 1, 2}) {
        SCOPED_TRACE(way);
        SetUp();
        if (way == 1) fake_system::existing = {"/tmp/.worker.nr"};
        if (way == 2) copy_text(current_record.holds[0].name, "worker");
        start_worker(0, way == 1 || way == 2);
        if (way == 0 || way == EXDEV) fake_system::ended[1001] = exit_status(0);
        run_pass();
        ASSERT_EQ(task_logs.slots[2].fd, -1);
        fake_logs::copy_error = way == EXDEV ? EXDEV : 0;
        fake_logs::growing = "worker.log";
        fake_logs::bytes_per_second = 1000000;
        for (int pass = 0; pass < 3; ++pass) run_pass();
        EXPECT_LE(fake_logs::largest, 4096u + 1000000u * min_log_look_ms / 1000);
        EXPECT_GT(fake_system::sleeps_ms.size(), 1000u);
        EXPECT_EQ(*std::max_element(fake_system::sleeps_ms.begin(), fake_system::sleeps_ms.end()),
                  min_log_look_ms);
        EXPECT_LE(fake_logs::files["worker.log.1"].size(), 4096u);
        EXPECT_GT(fake_logs::files["worker.log.1"].size(), 0u);

        // Quiet for a moment, then as fast again: held as closely (the write
        // watch wakes the wait however long the looks had grown apart).
        fake_logs::bytes_per_second = 1000;
        run_pass();
        fake_logs::bytes_per_second = 1000000;
        fake_logs::largest = 0;
        run_pass();
        EXPECT_LE(fake_logs::largest, 4096u + 1000000u * min_log_look_ms / 1000);

        fake_logs::bytes_per_second = 0;  // the looks come ever later, then at passes
        run_pass();
        run_pass();
        fake_system::sleeps.clear();
        fake_system::sleeps_ms.clear();
        run_pass();
        EXPECT_EQ(fake_system::sleeps, std::vector<unsigned>{5});
        EXPECT_TRUE(fake_system::sleeps_ms.empty());

        // A turn with an unusable configuration waits 30 s in passes that look.
        fake_system::file_text = R"({"tasks": [{"name": 3}]})";
        fake_logs::bytes_per_second = 1000000;
        fake_logs::largest = 0;
        fake_system::sleeps.clear();
        CaptureStderr();
        run_turn();
        GetCapturedStderr();
        EXPECT_LE(fake_logs::largest, 4096u + 1000000u * min_log_look_ms / 1000);
        EXPECT_EQ(std::count(fake_system::sleeps.begin(), fake_system::sleeps.end(), 30u), 0);
    }
}

}  // namespace
}  // namespace vorn
