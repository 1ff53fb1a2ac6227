#include <string>

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "fake_system.hpp"
#include "tasks/task_table.hpp"

namespace vorn {
namespace {

using testing::fake_system;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using table_test = testing::supervisor_test;

void put_task(std::size_t slot, const char* name, std::int32_t mode, std::int32_t pid) {
    task_info& t = task_table[slot];
    t = empty_task;
    copy_text(t.task_name, name);
    format_text(t.task_path.data(), t.task_path.size(), "/usr/sbin/%s", name);
    t.task_mode = mode;
    t.task_pid = pid;
}

TEST_F(table_test, builtin_tasks_kill_stale_copies_and_dump_exactly) {
    add_builtin_tasks();
    EXPECT_EQ(task_info_size, 2);
    EXPECT_EQ(fake_system::killed_by_name,
              (std::vector<std::string>{"vorn_update", "vorn_monitor"}));
    EXPECT_EQ(fake_system::kill_outputs, std::vector<kill_output>{kill_output::silent});
    CaptureStdout();
    dump_task_table(5);
    EXPECT_EQ(GetCapturedStdout(),
              "task_info_size: 2\n\nstdout_stderr_fd: 5\n\n"
              "task_info.task_system: 1, task_info.task_mode: 2, task_info.task_pid: 0, "
              "task_info.task_name: vorn_update, task_info.task_path: /usr/sbin/vorn_update\n"
              "argument: \n"
              "task_info.task_system: 1, task_info.task_mode: 2, task_info.task_pid: 0, "
              "task_info.task_name: vorn_monitor, task_info.task_path: /usr/sbin/vorn_monitor\n"
              "argument: \n"
              "#################################################\n");
}

TEST_F(table_test, dump_lists_arguments_up_to_the_first_empty_one) {
    put_task(0, "a", mode_none, 0);
    copy_text(task_table[0].task_argument[0], "-v");
    copy_text(task_table[0].task_argument[1], "--cp=3");
    copy_text(task_table[0].task_argument[3], "hidden");  // after an empty entry
    task_info_size = 1;
    CaptureStdout();
    dump_task_table(0);
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("task_info.task_mode: 0, task_info.task_pid: 0, task_info.task_name: a,"),
              std::string::npos);
    EXPECT_NE(out.find("\nargument: -v --cp=3 \n#####"), std::string::npos) << out;
}

TEST_F(table_test, dump_never_reads_past_sixteen_slots) {
    task_info_size = 40;  // 2 built-ins and more configured tasks than slots
    CaptureStdout();
    dump_task_table(0);
    const std::string out = GetCapturedStdout();
    std::size_t lines = 0;
    for (std::size_t at = out.find("argument: "); at != std::string::npos;
         at = out.find("argument: ", at + 1))
        ++lines;
    EXPECT_EQ(lines, 16u);
}

TEST_F(table_test, forget_child_clears_the_pid_and_turns_once_into_none) {
    put_task(0, "updater", mode_always, 100);
    put_task(1, "once_running", mode_once, 101);
    put_task(2, "once_waiting", mode_once, 0);
    put_task(3, "always", mode_always, 103);

    forget_child(999);  // no slot holds it: only the `once` rule applies
    EXPECT_EQ(task_table[1].task_mode, mode_none);
    EXPECT_EQ(task_table[1].task_pid, 101);
    EXPECT_EQ(task_table[2].task_mode, mode_none);
    EXPECT_EQ(task_table[3].task_pid, 103);

    forget_child(103);
    EXPECT_EQ(task_table[3].task_pid, 0);
    EXPECT_EQ(task_table[3].task_mode, mode_always);
    EXPECT_EQ(task_table[0].task_pid, 100);
}

TEST_F(table_test, clearing_starts_every_turn_from_nothing) {
    add_builtin_tasks();
    task_table[5].task_pid = 55;
    clear_task_table();
    EXPECT_EQ(task_info_size, 0);
    for (const task_info& t : task_table) {
        EXPECT_EQ(t.task_pid, 0);
        EXPECT_EQ(t.task_name[0], '\0');
    }
    EXPECT_EQ(slot_of_child(55), -1);
    EXPECT_EQ(slot_of_child(0), -1);
}

}  // namespace
}  // namespace vorn
