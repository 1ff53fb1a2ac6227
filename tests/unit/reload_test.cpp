// reload through the control channel: what each kind of entry becomes.
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/control.hpp"
#include "tasks/config.hpp"

namespace vorn {
namespace {

using testing::fake_system;
using reload_test = testing::supervisor_test;

std::string file_of(const std::string& tasks) {
    return R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, )" + tasks + "]}";
}

// The slots' "name=pid" from slot 2 on.
std::string table_text() {
    std::string text;
    for (std::size_t i = 2; i < task_slot_count && task_table[i].task_name[0] != '\0'; ++i)
        text += std::string(task_table[i].task_name.data()) + "=" +
                std::to_string(task_table[i].task_pid) + " ";
    return text;
}

// Forks w=1002 s=1003 j=1004 o=1005 g=1006 u=1007; o's run is over, f is
// held, h is off.  Then s moves, w changes and moves, j changes in its slot,
// g goes, u's user is gone, h is on, x, n, f and m are new: the old
// children of w and j end before their new ones, u's ends for good.
TEST_F(reload_test, reload_applies_the_difference_and_answers_what_it_did) {
    reset_control();
    control.listen_fd = 70;
    ASSERT_EQ(apply_log_path("/logs"), path_result::ok);
    begin_log_turn();
    fake_system::existing = {"/tmp/.m.nr"};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    copy_text(current_record.holds[0].name, "f");
    fake_system::file_text =
        file_of(R"({"name": "w"}, {"name": "s"}, {"name": "j", "mode": "once"}, )"
                R"({"name": "o", "mode": "once"}, {"name": "g"}, {"name": "u"}, )"
                R"({"name": "h", "mode": "none"})");
    add_builtin_tasks();
    record_configuration(apply_config(), config_problem{});
    start_pass();
    fake_system::reaps = {{1005, 0}};
    reap_step();
    fake_system::killed_by_name.clear();
    const int s_starts = current_record.slots[3].starts, s_log = task_logs.slots[3].fd;

    fake_system::file_text =
        file_of(R"({"name": "s"}, {"name": "w", "argument": ["-x"]}, )"
                R"({"name": "j", "mode": "once", "argument": ["-x"]}, )"
                R"({"name": "o", "mode": "once"}, {"name": "x"}, )"
                R"({"name": "n", "mode": "none"}, {"name": "f"}, {"name": "m"}, )"
                R"({"name": "u", "user": "nobody"}, {"name": "h"})");
    fake_system::clients = {{0, "reload\n"}};
    fake_system::firings = {{sys.boot_milliseconds(), 70}};
    rest(sys.boot_milliseconds() + 50);
    start_pass();                     // within the grace: no second copy of w or j
    fake_system::reaps = {{999, 0}};  // a reap meanwhile turns every `once` slot into `none`
    reap_step();
    const std::string in_grace = table_text();
    EXPECT_EQ(fake_system::signals.size(), 4u);  // SIGTERM to w, j, g and u
    for (const pid_t old : {1002, 1004, 1006, 1007}) fake_system::ended[old] = SIGTERM;
    rest(sys.boot_milliseconds() + 50);
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(in_grace, "s=1003 w=1002 j=1004 o=0 x=1008 n=0 f=0 m=0 u=1007 h=1009 ");
    ASSERT_EQ(fake_system::answers.size(), 1u);
    EXPECT_EQ(fake_system::answers[0].second,
              "reloaded: kept vorn_update vorn_monitor s o; restarted w j; stopped g, u (refused: "
              "user nobody does not exist); started x h; not started n (mode none), f (held "
              "down), m (not run: /tmp/.m.nr)\nexit 0\n");
    EXPECT_EQ(table_text(), "s=1003 w=1010 j=1011 o=0 x=1008 n=0 f=0 m=0 u=0 h=1009 ");
    EXPECT_EQ(current_record.slots[2].starts, s_starts);  // s's record and log moved with it
    EXPECT_EQ(task_logs.slots[2].fd, s_log);
    EXPECT_EQ(fake_system::killed_by_name, (std::vector<std::string>{"x", "n", "f", "m"}));
    reset_control();
}

// A reload that gives a slot to another task ends the old task's unit:
// its SIGTERM and, once its main process has ended, its kill go to the old
// task's cgroup, never to that of the task that now holds the slot.
TEST_F(reload_test, the_unit_ended_is_the_old_tasks) {
    using testing::fake_cgroups;
    using testing::fake_files;
    reset_control();
    control.listen_fd = 70;
    fake_files::reset();
    fake_cgroups::reset();
    fake_files::install();
    fake_cgroups::install();
    setup_units();
    ::testing::internal::CaptureStderr();
    fake_files::files[config_file_path()] = file_of(R"({"name": "old"})");
    add_builtin_tasks();
    record_configuration(apply_config(), config_problem{});
    start_pass();
    const std::string old = fake_cgroups::container() + "/old";
    fake_files::add_process(1100, "helper", "helper", 1002, "");  // old is 1002
    fake_cgroups::join(1002, old);
    fake_cgroups::join(1100, old);
    fake_files::files[config_file_path()] = file_of(R"({"name": "new"})");
    fake_system::clients = {{0, "reload\n"}};
    fake_system::firings = {{sys.boot_milliseconds(), 70}};
    rest(sys.boot_milliseconds() + 50);
    ASSERT_EQ(fake_system::signals.size(), 2u);
    EXPECT_EQ(fake_system::signals[1].pid, 1100);  // the old child's helper, by its cgroup
    fake_system::ended[1002] = SIGTERM;
    rest(sys.boot_milliseconds() + 50);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(fake_cgroups::written.back(), old + "/cgroup.kill <- 1");
    reset_control();
    fake_files::reset();
    fake_cgroups::reset();
}

}  // namespace
}  // namespace vorn
