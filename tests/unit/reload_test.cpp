// reload through the control channel, one row per case.  Every row also
// holds that a task keeps its pid, counts and log wherever it moved, and
// that no name gets a new child while its old one has not ended.
#include <csignal>
#include <map>
#include <sstream>
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

// What is known of a slot: "name=pid" in the table, more for a kept child.
std::string slot_text(std::size_t i, bool all) {
    const slot_record& s = current_record.slots[i];
    return std::string(task_table[i].task_name.data()) + "=" +
           std::to_string(task_table[i].task_pid) +
           (all ? " " + std::to_string(s.starts) + " " + std::to_string(s.ends) + " " +
                      std::to_string(task_logs.slots[i].fd)
                : "");
}

std::string table_text() {
    std::string text;
    for (std::size_t i = 0; i < task_slot_count; ++i)
        if (task_table[i].task_name[0] != '\0')
            text += (text.empty() ? "" : " ") + slot_text(i, false);
    return text;
}

// Forks: 1000 vorn_update, 1001 vorn_monitor, then the tasks in order; an
// `ended` task's end is reaped and it starts again.
TEST_F(reload_test, reload_applies_the_difference_and_answers_what_it_did) {
    const std::string worker_job = R"({"name": "worker"}, {"name": "job", "mode": "once"})";
    const struct {
        const char* what;
        std::string before, ended, held, after, answer;
        std::vector<pid_t> termed;
        std::string table;
        std::vector<std::string> killed_by_name = {};
    } rows[] = {
        {"unchanged, a running once task that another's reap made mode none",
         worker_job,
         "worker",
         "",
         worker_job,
         "kept vorn_update vorn_monitor worker job; restarted none; stopped none; started none",
         {},
         "vorn_update=1000 vorn_monitor=1001 worker=1004 job=1003"},
        {"unchanged, a once task whose run is over",
         worker_job,
         "job",
         "",
         worker_job,
         "kept vorn_update vorn_monitor worker job; restarted none; stopped none; started none",
         {},
         "vorn_update=1000 vorn_monitor=1001 worker=1002 job=0"},
        {"a once task changed in its slot runs once, after its old child",
         worker_job,
         "worker",
         "",
         R"({"name": "worker"}, {"name": "job", "mode": "once", "argument": ["-x"]})",
         "kept vorn_update vorn_monitor worker; restarted job; stopped none; started none",
         {1003},
         "vorn_update=1000 vorn_monitor=1001 worker=1004 job=1005"},
        {"unchanged tasks that swap slots keep their children; one gone, one new",
         R"({"name": "worker"}, {"name": "spare"}, {"name": "gone"})",
         "worker",
         "",
         R"({"name": "spare"}, {"name": "worker"}, {"name": "extra"})",
         "kept vorn_update vorn_monitor spare worker; restarted none; stopped gone; started extra",
         {1004},
         "vorn_update=1000 vorn_monitor=1001 spare=1003 worker=1005 extra=1006",
         {"extra"}},
        {"a changed task that moved waits for its old child",
         R"({"name": "worker"}, {"name": "spare"})",
         "",
         "",
         R"({"name": "spare"}, {"name": "worker", "argument": ["-x"]})",
         "kept vorn_update vorn_monitor spare; restarted worker; stopped none; started none",
         {1002},
         "vorn_update=1000 vorn_monitor=1001 spare=1003 worker=1004"},
        {"held down, mode none and a marker are not said to start",
         R"({"name": "worker"})",
         "",
         "worker fresh",
         R"({"name": "worker", "argument": ["-x"]}, {"name": "extra", "mode": "none"},
            {"name": "fresh"}, {"name": "marked"})",
         "kept vorn_update vorn_monitor; restarted none; stopped none; started none; not started "
         "worker (held down), extra (mode none), fresh (held down), marked (not run: "
         "/tmp/.marked.nr)",
         {},
         "vorn_update=1000 vorn_monitor=1001 worker=0 extra=0 fresh=0 marked=0",
         {"extra", "fresh", "marked"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        SetUp();
        reset_control();
        control.listen_fd = 70;
        ASSERT_EQ(apply_log_path("/logs"), path_result::ok);
        begin_log_turn();
        fake_system::existing = {"/tmp/.marked.nr"};
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        std::istringstream held(r.held);
        std::string name;
        for (std::size_t k = 0; held >> name; ++k) copy_text(current_record.holds[k].name, name);
        fake_system::file_text = file_of(r.before);
        add_builtin_tasks();
        record_configuration(apply_config(), config_problem{});
        start_pass();
        for (std::size_t i = 0; i < task_slot_count && !r.ended.empty(); ++i)
            if (task_table[i].task_name.data() == r.ended) {
                fake_system::reaps = {{task_table[i].task_pid, 0}};
                reap_step();
            }
        start_pass();
        std::map<pid_t, std::string> before, names;
        for (std::size_t i = 0; i < task_slot_count; ++i) {
            before[task_table[i].task_pid] = slot_text(i, true);
            names[task_table[i].task_pid] = task_table[i].task_name.data();
        }
        fake_system::killed_by_name.clear();

        fake_system::file_text = file_of(r.after);
        fake_system::clients = {{0, "reload\n"}};
        fake_system::firings = {{sys.boot_milliseconds(), 70}};
        rest(sys.boot_milliseconds() + 50);
        std::vector<pid_t> termed;
        for (const auto& s : fake_system::signals)
            if (s.signal == SIGTERM) termed.push_back(s.pid);
        const std::size_t forks = fake_system::forked.size();
        start_pass();  // a pass within the grace: no second copy of a name
        std::string second_copies;
        for (std::size_t k = forks; k < fake_system::forked.size(); ++k)
            for (const pid_t old : termed)
                if (names[old] ==
                    task_table[slot_of_child(fake_system::forked[k])].task_name.data())
                    second_copies += names[old];
        for (const pid_t old : termed) fake_system::ended[old] = SIGTERM;
        rest(sys.boot_milliseconds() + 50);
        ::testing::internal::GetCapturedStdout();
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(termed, r.termed);
        EXPECT_EQ(second_copies, "");
        ASSERT_EQ(fake_system::answers.size(), 1u);
        EXPECT_EQ(fake_system::answers[0].second, "reloaded: " + r.answer + "\nexit 0\n");
        EXPECT_EQ(table_text(), r.table);
        EXPECT_EQ(fake_system::killed_by_name, r.killed_by_name);
        for (std::size_t j = 0; j < task_slot_count; ++j) {
            const pid_t pid = task_table[j].task_pid;
            if (pid != 0 && before.count(pid) != 0) {
                EXPECT_EQ(slot_text(j, true), before[pid]);
            }
        }
    }
    reset_control();
}

}  // namespace
}  // namespace vorn
