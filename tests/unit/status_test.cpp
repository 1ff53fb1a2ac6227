#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/cycle.hpp"
#include "supervise/status.hpp"
#include "tasks/config.hpp"
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

class status_test : public testing::supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        CaptureStdout();  // not-run and kill lines
        CaptureStderr();
    }
    void TearDown() override {
        GetCapturedStdout();
        GetCapturedStderr();
        supervisor_test::TearDown();
    }
    // Slots as a turn leaves them after a usable configuration.
    static void configure(std::initializer_list<std::pair<const char*, std::int32_t>> tasks) {
        std::size_t i = 0;
        for (const auto& [name, mode] : tasks) {
            task_table[i] = empty_task;
            copy_text(task_table[i].task_name, name);
            format_text(task_table[i].task_path.data(), task_path_size, "/sbin/%s", name);
            task_table[i].task_mode = mode;
            task_table[i].task_system = i < 2 ? 1 : 0;
            ++i;
        }
        status_turn_begins();
        status_configuration(true, config_problem{});
    }
    // The document as written now.
    static json_document written() {
        char* text = status_document();
        json_document doc{json_loads(text, 0, nullptr)};
        std::free(text);
        return doc;
    }
    static std::string slot_text(const json_document& doc, std::size_t slot, const char* key) {
        const json_t* value =
            json_object_get(json_array_get(json_object_get(doc.get(), "slots"), slot), key);
        if (json_is_string(value)) return json_string_value(value);
        if (json_is_integer(value)) return std::to_string(json_integer_value(value));
        if (json_is_null(value)) return "null";
        char* dumped = json_dumps(value, JSON_COMPACT);
        std::string out = dumped ? dumped : "?";
        std::free(dumped);
        return out;
    }
};

TEST_F(status_test, crash_loop_counts_starts_and_same_exits) {
    configure({{"up", mode_always}, {"mon", mode_always}, {"crash", mode_always}});
    start_pass();
    EXPECT_EQ(slot_text(written(), 2, "state"), "running");
    EXPECT_EQ(slot_text(written(), 2, "since"), std::to_string(fake_system::clock));
    for (int round = 0; round < 3; ++round) {
        fake_system::clock += 10;
        fake_system::reaps.push_back({task_table[2].task_pid, exit_status(3)});
        reap_step();
        const json_document doc = written();
        EXPECT_EQ(slot_text(doc, 2, "state"), "waiting");
        EXPECT_EQ(slot_text(doc, 2, "last_exit"), "{\"code\":3}");
        EXPECT_EQ(slot_text(doc, 2, "last_exit_at"), std::to_string(fake_system::clock));
        EXPECT_EQ(slot_text(doc, 2, "same_exits"), std::to_string(round + 1));
        EXPECT_EQ(slot_text(doc, 2, "pid"), "null");
        start_pass();
    }
    EXPECT_EQ(slot_text(written(), 2, "starts"), "4");
    // A different end starts the count again; so does another task in the slot.
    fake_system::reaps.push_back({task_table[2].task_pid, signal_status(SIGSEGV)});
    reap_step();
    EXPECT_EQ(slot_text(written(), 2, "last_exit"), "{\"signal\":11}");
    EXPECT_EQ(slot_text(written(), 2, "same_exits"), "1");
    configure({{"up", mode_always}, {"mon", mode_always}, {"other", mode_always}});
    EXPECT_EQ(slot_text(written(), 2, "starts"), "0");
    EXPECT_EQ(slot_text(written(), 1, "starts"), "1");  // same task, counted across turns
}

TEST_F(status_test, quick_ends_with_status_zero_are_short_runs) {
    struct {
        std::time_t ran;
        int status;
        const char* short_runs;
    } const rows[] = {{0, exit_status(0), "1"},
                      {5, exit_status(0), "2"},
                      {20, exit_status(0), "0"},
                      {0, exit_status(1), "0"}};
    configure({{"up", mode_always}, {"mon", mode_always}, {"forks", mode_always}});
    for (const auto& row : rows) {
        start_pass();
        fake_system::clock += row.ran;
        fake_system::reaps.push_back({task_table[2].task_pid, row.status});
        reap_step();
        EXPECT_EQ(slot_text(written(), 2, "short_runs"), row.short_runs) << row.ran;
    }
}

TEST_F(status_test, updater_exits_and_kills_are_recorded) {
    struct {
        int status;
        const char* then;
        const char* monitor_state;
    } const rows[] = {{exit_status(0), "new turn", "waiting"},
                      {exit_status(1), "system tasks restarted", "waiting"},
                      {exit_status(2), "started again", "running"},
                      {signal_status(SIGKILL), "started again", "running"}};
    for (const auto& row : rows) {
        configure({{"up", mode_always}, {"mon", mode_always}, {"plain", mode_always}});
        start_pass();
        fake_system::clock += 7;
        fake_system::reaps.push_back({task_table[0].task_pid, row.status});
        reap_step();
        const json_document doc = written();
        const json_t* updater = json_object_get(doc.get(), "updater");
        EXPECT_STREQ(json_string_value(json_object_get(updater, "then")), row.then);
        EXPECT_EQ(json_integer_value(json_object_get(updater, "at")), fake_system::clock);
        EXPECT_EQ(slot_text(doc, 1, "state"), row.monitor_state) << row.then;
        if (std::string(row.monitor_state) == "waiting") {
            EXPECT_EQ(slot_text(doc, 1, "last_exit"), "{\"signal\":9}");
        }
        clear_task_table();
    }
}

TEST_F(status_test, markers_once_slots_and_modes_show_as_states) {
    configure({{"up", mode_always},
               {"mon", mode_always},
               {"held", mode_always},
               {"single", mode_once},
               {"never", mode_once},
               {"off", mode_none}});
    fake_system::existing = {"/tmp/.held.nr", "/tmp/.never.nr"};
    start_pass();
    json_document doc = written();
    EXPECT_EQ(slot_text(doc, 2, "state"), "held_back");
    EXPECT_EQ(slot_text(doc, 2, "marker"), "/tmp/.held.nr");
    EXPECT_EQ(slot_text(doc, 3, "state"), "running");
    EXPECT_EQ(slot_text(doc, 5, "state"), "off");
    fake_system::reaps.push_back({task_table[3].task_pid, exit_status(0)});
    reap_step();  // every once slot drops to none
    fake_system::existing.clear();
    start_pass();
    doc = written();
    EXPECT_EQ(slot_text(doc, 2, "state"), "running");
    EXPECT_EQ(slot_text(doc, 2, "marker"), "null");
    EXPECT_EQ(slot_text(doc, 3, "state"), "ended");
    EXPECT_EQ(slot_text(doc, 3, "mode"), "once");
    EXPECT_EQ(slot_text(doc, 4, "state"), "off");
    EXPECT_EQ(slot_text(doc, 4, "marker"), "null");
}

TEST_F(status_test, written_once_per_change_and_retried_at_the_next_turn) {
    configure({{"up", mode_always}, {"mon", mode_always}, {"held", mode_always}});
    fake_system::existing = {"/tmp/.held.nr"};
    run_pass();
    run_pass();
    run_pass();
    ASSERT_EQ(fake_system::replaced.size(), 1u);  // idle passes write nothing
    EXPECT_EQ(fake_system::replaced[0], "/run/vorn_restart.status <- /run/vorn_restart.status.tmp");
    EXPECT_EQ(fake_system::replaced_text.back(), '\n');
    fake_system::existing.clear();
    fake_system::replace_error = EROFS;
    run_pass();
    run_pass();
    fake_system::reaps.push_back({task_table[2].task_pid, exit_status(4)});
    run_pass();
    const std::string told = GetCapturedStderr();
    EXPECT_EQ(told,
              "vorn_restart: cannot write the status file /run/vorn_restart.status: Read-only "
              "file system; supervising without it until the next turn\n");
    CaptureStderr();
    fake_system::replace_error = 0;
    run_pass();
    EXPECT_EQ(fake_system::replaced.size(), 1u);  // given up until the turn ends
    status_turn_begins();
    run_pass();
    EXPECT_EQ(fake_system::replaced.size(), 2u);
    EXPECT_NE(fake_system::replaced_text.find("\"last_exit\":{\"code\":4}"), std::string::npos);
    apply_status_path("");
    status_turn_begins();
    run_pass();
    EXPECT_EQ(fake_system::replaced.size(), 2u);  // turned off
}

TEST_F(status_test, unusable_configuration_lists_no_slot_and_says_why) {
    fake_system::file_text = R"({"tasks": [{"name": "a"}, {"name": 7}]})";
    run_turn();
    const json_document doc{json_loads(fake_system::replaced_text.c_str(), 0, nullptr)};
    const json_t* configuration = json_object_get(doc.get(), "configuration");
    EXPECT_TRUE(json_is_false(json_object_get(configuration, "usable")));
    EXPECT_STREQ(json_string_value(json_object_get(configuration, "problem")),
                 "tasks[1]: \"name\" is not a string");
    EXPECT_EQ(json_array_size(json_object_get(doc.get(), "slots")), 0u);
    EXPECT_EQ(json_integer_value(json_object_get(doc.get(), "turn")), 1);
    // A file that cannot be opened is still reported as before.
    fake_system::file_present = false;
    run_turn();
    EXPECT_NE(GetCapturedStderr().find("fopen: "), std::string::npos);
    CaptureStderr();
}

TEST_F(status_test, bytes_that_are_not_utf8_become_question_marks) {
    configure({{"up", mode_always}, {"mon", mode_always}});
    copy_text(task_table[1].task_path, "/sbin/m\xff\xfe");
    EXPECT_EQ(slot_text(written(), 1, "path"), "/sbin/m??");
}

}  // namespace
}  // namespace vorn
