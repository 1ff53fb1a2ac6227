#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.hpp"
#include "base/text.hpp"
#include "check/status_read.hpp"
#include "fake_system.hpp"
#include "supervise/control.hpp"
#include "supervise/cycle.hpp"
#include "supervise/launch.hpp"
#include "supervise/metrics.hpp"
#include "supervise/record.hpp"
#include "supervise/status.hpp"
#include "supervise/task_log.hpp"
#include "supervisor/startup.hpp"
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
        record_turn_begins();
        record_configuration(true, config_problem{});
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
    EXPECT_EQ(slot_text(written(), 2, "since_boot"), std::to_string(fake_system::boot_clock));
    for (int round = 0; round < 3; ++round) {
        fake_system::clock += 10;
        fake_system::boot_clock += 10;
        fake_system::reaps.push_back({task_table[2].task_pid, exit_status(3)});
        reap_step();
        const json_document doc = written();
        EXPECT_EQ(slot_text(doc, 2, "state"), "waiting");
        EXPECT_EQ(slot_text(doc, 2, "last_exit"), "{\"code\":3}");
        EXPECT_EQ(slot_text(doc, 2, "last_exit_at"), std::to_string(fake_system::clock));
        EXPECT_EQ(slot_text(doc, 2, "last_exit_at_boot"), std::to_string(fake_system::boot_clock));
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

// Short runs go by the boot clock, from the moment the end was first seen,
// however late the reap comes and however the wall clock is set meanwhile;
// an end that a child's descriptor tells in the wait is recorded there.
TEST_F(status_test, quick_ends_with_status_zero_are_short_runs) {
    struct {
        std::time_t ran;         // boot-clock seconds from the start to the end seen
        std::time_t wall_jump;   // the wall clock set forwards or backwards meanwhile
        std::time_t reap_later;  // boot-clock seconds from the end seen to the reap
        int status;
        const char* short_runs;
        bool by_descriptor = false;  // seen in the wait, not by a pass
    } const rows[] = {{0, 0, 0, exit_status(0), "1"},
                      {5, 0, 0, exit_status(0), "2"},
                      {5, -86400 * 365, 0, exit_status(0), "3"},  // NTP sets it back
                      {20, 0, 0, exit_status(0), "0"},
                      {20, -3600, 0, exit_status(0), "0"},
                      {0, 20'000 * 86400, 0, exit_status(0), "1"},  // from 1970 to now
                      {5, 0, 15, exit_status(0), "2"},              // reaped behind three others
                      {0, 0, 0, exit_status(1), "0"},
                      {0, 0, 0, exit_status(1), "0", true}};
    configure({{"up", mode_always}, {"mon", mode_always}, {"forks", mode_always}});
    int same = 0, previous = -1;
    for (const auto& row : rows) {
        same = row.status == previous ? same + 1 : 1;
        previous = row.status;
        fake_system::handles = row.by_descriptor;
        if (row.by_descriptor) reset_child_handles();
        start_pass();
        const pid_t pid = task_table[2].task_pid;
        fake_system::boot_clock += row.ran;
        fake_system::clock += row.wall_jump;
        fake_system::ended[pid] = row.status;
        if (row.by_descriptor)
            rest(sys.boot_milliseconds() + 1000);
        else
            note_ended_children();
        EXPECT_EQ(slot_text(written(), 2, "state"), "exited");
        fake_system::boot_clock += row.reap_later;
        fake_system::reaps.push_back({pid, row.status});
        reap_step();
        EXPECT_EQ(slot_text(written(), 2, "short_runs"), row.short_runs) << row.ran;
        // Counted once, when the end was seen, not again at the reap.
        EXPECT_EQ(slot_text(written(), 2, "same_exits"), std::to_string(same));
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
            // Every one of its ends is a kill: no failure of its own.
            EXPECT_EQ(slot_text(doc, 1, "ended_by_supervisor"), slot_text(doc, 1, "same_exits"));
        }
        clear_task_table();
    }
}

// The updater's exit 0 kills every running task: one that had already
// ended on its own keeps its own end, whether a pass saw it or not.
TEST_F(status_test, own_end_before_the_kill_is_kept) {
    for (const bool seen_by_a_pass : {true, false}) {
        configure({{"up", mode_always}, {"mon", mode_always}, {"plain", mode_always}});
        start_pass();
        fake_system::ended[task_table[2].task_pid] = exit_status(3);
        if (seen_by_a_pass) note_ended_children();
        fake_system::reaps.push_back({task_table[0].task_pid, exit_status(0)});
        EXPECT_EQ(reap_step(), pass_outcome::new_turn);
        const json_document doc = written();
        EXPECT_EQ(slot_text(doc, 2, "last_exit"), "{\"code\":3}") << seen_by_a_pass;
        EXPECT_EQ(slot_text(doc, 1, "last_exit"), "{\"signal\":9}");
        EXPECT_EQ(slot_text(doc, 2, "same_exits"), "1");
        EXPECT_EQ(slot_text(doc, 2, "ended_by_supervisor"), "0");
        clear_task_table();
        reset_record();
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

TEST_F(status_test, written_once_per_change_marked_every_pass_and_retried) {
    const std::string path = "/run/vorn_restart.status";
    // The pass's moment: each pass ends with its rest of 5 s.
    const auto at = [&] { return path + "@" + std::to_string(sys.boot_seconds() - pass_seconds); };
    configure({{"up", mode_always}, {"mon", mode_always}, {"held", mode_always}});
    fake_system::existing = {"/tmp/.held.nr"};
    for (int pass = 0; pass < 3; ++pass) {
        run_pass();
        EXPECT_EQ(fake_system::stamped.back(), at());  // every pass, by the boot clock
        ++fake_system::boot_clock;
    }
    ASSERT_EQ(fake_system::replaced.size(), 1u);  // idle passes write nothing
    EXPECT_EQ(fake_system::replaced[0], path + "@500");
    EXPECT_EQ(fake_system::replaced_text.back(), '\n');

    // A write that fails: the old file goes, no pass mark, one message.
    fake_system::existing.clear();
    fake_system::replace_error = ENOSPC;
    fake_system::stamped.clear();
    run_pass();
    fake_system::reaps.push_back({task_table[2].task_pid, exit_status(4)});
    run_pass();
    EXPECT_EQ(fake_system::removed, std::vector<std::string>{path});
    EXPECT_TRUE(fake_system::stamped.empty());
    EXPECT_EQ(GetCapturedStderr(), "vorn_restart: cannot write the status file " + path +
                                       ": No space left on device; trying again every 30 s\n");
    CaptureStderr();
    // Tried again at the first pass 30 s after the failure, not before.
    fake_system::replace_error = 0;
    fake_system::boot_clock += 19;  // with the two passes' rests: 29 s after the failure
    run_pass();
    EXPECT_EQ(fake_system::replaced.size(), 1u);
    fake_system::boot_clock += 1;
    run_pass();
    ASSERT_EQ(fake_system::replaced.size(), 2u);
    EXPECT_EQ(fake_system::replaced[1], at());
    EXPECT_NE(fake_system::replaced_text.find("\"last_exit\":{\"code\":4}"), std::string::npos);
    // A file removed behind the supervisor's back is written again.
    fake_system::stamp_error = ENOENT;
    run_pass();
    fake_system::stamp_error = 0;
    run_pass();
    EXPECT_EQ(fake_system::replaced.size(), 3u);
    // A new run of failures is told again; an empty path turns it all off.
    fake_system::replace_error = EROFS;
    record_turn_begins();
    run_pass();
    EXPECT_NE(GetCapturedStderr().find("Read-only file system"), std::string::npos);
    CaptureStderr();
    apply_status_path("");
    fake_system::replace_error = 0;
    fake_system::boot_clock += 60;
    record_turn_begins();
    run_pass();
    EXPECT_EQ(fake_system::replaced.size(), 3u);
}

// What the supervisor writes, the checker reads back the same, field by
// field, for a slot in each state.
TEST_F(status_test, checker_reads_back_what_the_writer_writes) {
    copy_text(log_path, "/l/");
    task_logs.fd = 99;  // the directory in use
    configure({{"run", mode_always},
               {"exited", mode_always},
               {"ended", mode_once},
               {"off", mode_none},
               {"held", mode_always},
               {"wait", mode_always}});
    const exit_record code_3{exit_kind::code, 3, {1700000100, 5100}};
    const exit_record signal_9{exit_kind::signal, 9, {1700000200, 5200}};
    const struct {
        slot_state state;
        pid_t pid;
        std::int32_t mode_now;
        bool end_seen, started;
        exit_record last_exit;
        const char* marker;
    } rows[] = {
        {slot_state::running, 101, mode_always, false, true, code_3, ""},
        {slot_state::exited, 102, mode_always, true, true, signal_9, ""},
        {slot_state::ended, 0, mode_none, false, true, code_3, ""},
        {slot_state::off, 0, mode_none, false, false, {}, ""},
        {slot_state::held_back, 0, mode_always, false, false, signal_9, "/tmp/.held.nr"},
        {slot_state::waiting, 0, mode_always, false, true, {}, ""},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        task_table[i].task_pid = rows[i].pid;
        task_table[i].task_mode = rows[i].mode_now;
        slot_record& r = current_record.slots[i];
        r.starts = static_cast<std::uint32_t>(i) * 7 + 1;
        r.since = {1700000000 + static_cast<std::time_t>(i), 5000 + static_cast<std::time_t>(i)};
        r.end_seen = rows[i].end_seen;
        r.started_this_turn = rows[i].started;
        r.last_exit = rows[i].last_exit;
        r.same_exits = static_cast<std::uint32_t>(i);
        r.short_runs = static_cast<std::uint32_t>(i) % 2;
        copy_text(r.marker, rows[i].marker);
    }
    current_record.updater_exit = code_3;
    current_record.updater_then = "started again";
    current_record.kill_error = ENOENT;
    const json_document doc = written();
    ASSERT_TRUE(doc);
    status_reading read{};
    read_status_document(doc.get(), &read);
    const auto same = [](const number& n, long long value) { return n.ok() && n.value == value; };
    const auto same_end = [](const read_end& end, const exit_record& e) {
        if (e.kind == exit_kind::none) return end.kind == end_kind::none;
        return end.kind == (e.kind == exit_kind::code ? end_kind::code : end_kind::signal) &&
               end.value == e.value;
    };
    EXPECT_TRUE(same(read.format, status_format));
    EXPECT_TRUE(same(read.pid, current_record.pid));
    EXPECT_TRUE(same(read.started_boot, current_record.started.boot));
    EXPECT_TRUE(same(read.turn, current_record.turn));
    EXPECT_TRUE(same(read.turn_started, current_record.turn_started.wall));
    EXPECT_EQ(read.config_file.text, config_file_path());
    EXPECT_EQ(read.usable, truth::yes);
    EXPECT_FALSE(read.config_problem.given);
    EXPECT_TRUE(same_end(read.updater_exit, code_3));
    EXPECT_TRUE(same(read.updater_at_boot, 5100));
    EXPECT_EQ(read.updater_then.text, "started again");
    EXPECT_EQ(read.kill_works, truth::no);
    EXPECT_EQ(read.kill_problem.text, "No such file or directory");
    EXPECT_EQ(read.log_path_is, log_path_kind::text);
    EXPECT_EQ(read.log_path.text, "/l/");
    ASSERT_EQ(read.slot_count, std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(slot_state_name(rows[i].state));
        const read_slot& s = read.slots[i];
        const slot_record& r = current_record.slots[i];
        const bool child = rows[i].pid != 0;
        EXPECT_TRUE(same(s.index, static_cast<long long>(i)));
        EXPECT_EQ(s.name.text, text_view(task_table[i].task_name));
        EXPECT_EQ(s.path.text, text_view(task_table[i].task_path));
        EXPECT_TRUE(same(s.system, task_table[i].task_system));
        EXPECT_EQ(s.mode.text, mode_name(r.configured_mode));
        EXPECT_TRUE(s.state_known && s.state == rows[i].state) << s.state_name.text;
        EXPECT_EQ(s.pid.ok(), child);
        EXPECT_TRUE(!child || same(s.pid, rows[i].pid));
        EXPECT_TRUE(!child || (same(s.since, r.since.wall) && same(s.since_boot, r.since.boot)));
        EXPECT_TRUE(same(s.starts, r.starts));
        EXPECT_TRUE(same_end(s.last_exit, r.last_exit));
        EXPECT_TRUE(r.last_exit.kind == exit_kind::none ||
                    (same(s.last_exit_at, r.last_exit.at.wall) &&
                     same(s.last_exit_at_boot, r.last_exit.at.boot)));
        EXPECT_TRUE(same(s.same_exits, r.same_exits));
        EXPECT_TRUE(same(s.short_runs, r.short_runs));
        EXPECT_EQ(s.marker.text, rows[i].marker);
        EXPECT_EQ(s.log.text, "/l/" + std::string(task_table[i].task_name.data()) + ".log");
    }
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

// A killall that cannot be started: said once, again only after it worked.
TEST_F(status_test, killall_that_cannot_run_is_told_once_and_shown) {
    fake_system::file_text = R"({"tasks": [{"name": "a"}, {"name": 7}]})";
    const std::string told =
        "vorn_restart: cannot run killall: No such file or directory; stale copies of the "
        "tasks are not killed\n";
    const struct {
        int error;
        const char* works;
        std::string said;
    } rows[] = {
        {ENOENT, "false", told}, {ENOENT, "false", ""}, {0, "true", ""}, {ENOENT, "false", told}};
    for (const auto& row : rows) {
        fake_system::kill_by_name_error = row.error;
        run_turn();
        const json_document doc{json_loads(fake_system::replaced_text.c_str(), 0, nullptr)};
        const json_t* kill = json_object_get(doc.get(), "kill_by_name");
        char* works = json_dumps(json_object_get(kill, "works"), JSON_ENCODE_ANY);
        EXPECT_STREQ(works, row.works);
        std::free(works);
        EXPECT_EQ(json_is_string(json_object_get(kill, "problem")), row.error != 0);
        EXPECT_EQ(GetCapturedStderr(), row.said);
        CaptureStderr();
    }
}

// The supervisor's own OOM protection: what came of it is in the status
// file, the metrics and the checker's reading, never on standard error.
TEST_F(status_test, own_oom_protection_is_recorded_not_printed) {
    static int refusal = 0;
    sys.set_oom_score = [](int) { return (errno = refusal) == 0 ? 0 : -1; };
    const struct {
        uid_t euid;
        bool asked;
        int refusal;
        const char* status;
        const char* metrics;
        truth read;
    } rows[] = {
        {0, true, EACCES, R"({"works":false,"problem":"Permission denied"})",
         "vorn_restart_oom_protected 0\n", truth::no},
        {0, true, 0, R"({"works":true,"problem":null})", "vorn_restart_oom_protected 1\n",
         truth::yes},
        {0, false, 0, "null", "", truth::absent},    // --no_oom_protect
        {1000, true, 0, "null", "", truth::absent},  // not root
    };
    for (const auto& row : rows) {
        testing::fake_logs::euid = row.euid;
        oom_protect = row.asked;
        refusal = row.refusal;
        reset_record();
        protect_from_oom();
        EXPECT_EQ(GetCapturedStderr(), "");
        CaptureStderr();
        const json_document doc = written();
        char* oom = json_dumps(json_object_get(doc.get(), "oom_protection"),
                               JSON_ENCODE_ANY | JSON_COMPACT);
        EXPECT_STREQ(oom, row.status);
        std::free(oom);
        static char buf[metrics_buffer_size];
        const std::string text(buf, metrics_document(buf, sizeof buf, 0, 0));
        const std::size_t at = text.find("\nvorn_restart_oom_protected ") + 1;
        EXPECT_EQ(at == 0 ? "" : text.substr(at, text.find('\n', at) + 1 - at), row.metrics);
        status_reading read{};
        read_status_document(doc.get(), &read);
        EXPECT_EQ(read.oom_works, row.read);
    }
    children_reset_oom_score = false;
}

TEST_F(status_test, bytes_that_are_not_utf8_become_question_marks) {
    configure({{"up", mode_always}, {"mon", mode_always}});
    copy_text(task_table[1].task_path, "/sbin/m\xff\xfe");
    EXPECT_EQ(slot_text(written(), 1, "path"), "/sbin/m??");
}

TEST_F(status_test, metrics_label_values_are_escaped_and_valid_utf8) {
    const struct {
        const char* name;
        const char* value;
    } rows[] = {
        {"plain_1", "plain_1"},
        {"q\"b\\s\nl\tt", "q\\\"b\\\\s\\nl\tt"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},  // kept
        {"a\xFF", "a\xEF\xBF\xBD"},
        {"\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong NUL
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xF4\x90\x80\x80x",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},  // past U+10FFFF
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // cut short at the end
    };
    for (const auto& row : rows) {
        char out[64];
        EXPECT_TRUE(metrics_label_value(row.name, out, sizeof out)) << row.name;
        EXPECT_STREQ(out, row.value);
    }
    char small[3];  // U+FFFD and the terminator do not fit
    EXPECT_FALSE(metrics_label_value("\xFF", small, sizeof small));
    EXPECT_STREQ(small, "");
}

// Start times by the boot clock: a task started while the clock still said
// 1970 shows the right time once it is set.  And sixteen names that need
// the most escaping still fit.
TEST_F(status_test, metrics_document_fits_and_dates_starts_by_the_boot_clock) {
    static char buf[metrics_buffer_size];
    EXPECT_EQ(metrics_document(buf, sizeof buf, fake_system::clock, fake_system::boot_clock) > 0,
              true);
    EXPECT_EQ(std::string(buf).find("configuration_usable"), std::string::npos);  // not read yet
    fake_system::clock = 30;                                                      // 1970
    configure({{"up", mode_always}, {"mon", mode_always}, {"w\"x", mode_always}});
    start_pass();
    fake_system::boot_clock += 100;
    fake_system::clock = 1765152000;  // set by NTP
    std::string text(
        buf, metrics_document(buf, sizeof buf, fake_system::clock, fake_system::boot_clock));
    EXPECT_NE(
        text.find("vorn_restart_task_start_time_seconds{slot=\"2\",name=\"w\\\"x\"} 1765151900\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("vorn_restart_task_state{slot=\"2\",name=\"w\\\"x\",state=\"running\"} 1\n"),
        std::string::npos);
    EXPECT_NE(text.find("vorn_restart_configuration_usable 1\n"), std::string::npos);
    EXPECT_NE(text.find("vorn_restart_kill_by_name_works 1\n"), std::string::npos);
    EXPECT_EQ(text.find("vorn_restart_configuration_problem"), std::string::npos);
    // The reason of an unusable file as a label: escaped, and cut short at a
    // character's start, never in the middle of one.
    config_problem problem;
    format_text(problem.text.data(), problem.text.size(), "bad \"x\"\n%s%s",
                std::string(190, 'y').c_str(), "\xC3\xA9\xC3\xA9");
    kill_by_name_error = ENOENT;
    record_configuration(false, problem);
    GetCapturedStderr();
    CaptureStderr();
    text.assign(buf,
                metrics_document(buf, sizeof buf, fake_system::clock, fake_system::boot_clock));
    EXPECT_NE(text.find("vorn_restart_configuration_problem{problem=\"bad \\\"x\\\"\\n" +
                        std::string(190, 'y') + "\xC3\xA9...\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("vorn_restart_kill_by_name_works 0\n"), std::string::npos);
    kill_by_name_error = 0;
    record_configuration(true, config_problem{});

    for (std::size_t i = 0; i < task_slot_count; ++i) {
        task_table[i].task_name.fill('\xFF');
        task_table[i].task_name[task_name_size - 1] = '\0';
        current_record.slots[i].last_exit = {exit_kind::signal, 9, {}};
        current_record.slots[i].starts = 4'000'000'000u;
        task_table[i].task_pid = 1000;
    }
    const std::size_t worst =
        metrics_document(buf, sizeof buf, fake_system::clock, fake_system::boot_clock);
    EXPECT_GT(worst, 0u);
    EXPECT_EQ(metrics_document(buf, worst, fake_system::clock, fake_system::boot_clock),
              0u);  // never cut short
}

// A child is up only once it has lived through a whole pass, so that a task
// that ends at every pass never looks up to a scrape; that change alone
// rewrites the metrics file, not the status file.  The metrics file's
// modification time beats at every pass, by the wall clock.
TEST_F(status_test, metrics_up_waits_for_a_whole_pass_and_the_file_beats) {
    const std::string status = "/run/vorn_restart.status", metrics = "/var/m.prom";
    apply_metrics_path(metrics.c_str());
    const auto writes = [](const std::string& path) {
        return std::count_if(fake_system::replaced.begin(), fake_system::replaced.end(),
                             [&](const std::string& w) { return w.starts_with(path + "@"); });
    };
    const auto up = [](const char* name) {
        const std::string line =
            "vorn_restart_task_up{slot=\"2\",name=\"" + std::string(name) + "\"} ";
        const std::size_t at = fake_system::replaced_text.find(line);
        return at == std::string::npos ? '?' : fake_system::replaced_text[at + line.size()];
    };
    configure({{"up", mode_always}, {"mon", mode_always}, {"quit", mode_always}});
    run_pass();
    EXPECT_EQ(up("quit"), '0');
    EXPECT_EQ(fake_system::stamped.back(), metrics + "@" + std::to_string(fake_system::clock));
    run_pass();  // nothing but the first whole pass
    EXPECT_EQ(writes(status), 1);
    EXPECT_EQ(writes(metrics), 2);
    EXPECT_EQ(up("quit"), '1');
    for (int start = 0; start < 3; ++start) {
        fake_system::reaps.push_back({task_table[2].task_pid, exit_status(0)});
        run_pass();  // reaped
        run_pass();  // started again, and seen running once
        EXPECT_EQ(up("quit"), '0') << start;
    }
    EXPECT_NE(fake_system::replaced_text.find(
                  "vorn_restart_task_ends_total{slot=\"2\",name=\"quit\"} 3\n"),
              std::string::npos);
    // A heartbeat that finds no file writes it afresh.
    run_pass();
    const auto before = writes(metrics);
    ++fake_system::clock;
    fake_system::stamp_error = ENOENT;
    run_pass();
    fake_system::stamp_error = 0;
    run_pass();
    EXPECT_EQ(writes(metrics), before + 1);
    EXPECT_EQ(fake_system::stamped.back(), metrics + "@" + std::to_string(fake_system::clock));
}

// Each file fails, is told once and is retried on its own; the other goes
// on being written only when something changes.
TEST_F(status_test, metrics_file_fails_and_is_retried_apart_from_the_status_file) {
    const std::string status = "/run/vorn_restart.status", metrics = "/var/m.prom";
    apply_metrics_path(metrics.c_str());
    const auto writes = [](const std::string& path) {
        std::size_t n = 0;
        for (const std::string& w : fake_system::replaced) n += w.starts_with(path + "@");
        return n;
    };
    configure({{"up", mode_always}, {"mon", mode_always}});
    fake_system::replace_error = EACCES;
    for (const std::string& failing : {metrics, status}) {
        const std::string& other = failing == metrics ? status : metrics;
        fake_system::failing_path = failing;
        const std::size_t other_before = writes(other);
        record_turn_begins();
        run_pass();
        run_pass();  // nothing new: neither is tried again
        EXPECT_EQ(writes(other), other_before + 1) << failing;
        EXPECT_EQ(fake_system::removed.back(), failing);
        EXPECT_EQ(GetCapturedStderr(), "vorn_restart: cannot write the " +
                                           std::string(failing == metrics ? "metrics" : "status") +
                                           " file " + failing +
                                           ": Permission denied; trying again every 30 s\n");
        CaptureStderr();
        fake_system::boot_clock += 19;  // with the two passes' rests: 29 s after the failure
        record_turn_begins();
        run_pass();  // the other follows the change; the failing one waits
        EXPECT_EQ(writes(other), other_before + 2);
        EXPECT_EQ(GetCapturedStderr(), "");  // said once per run of failures
        CaptureStderr();
        fake_system::failing_path.clear();
        fake_system::replace_error = 0;
        fake_system::boot_clock += 1;
        run_pass();
        EXPECT_EQ(writes(failing), failing == metrics ? 1u : 3u);
        EXPECT_EQ(writes(other), other_before + 2);
        fake_system::replace_error = EACCES;
    }
    // No modification time of its own.
    EXPECT_EQ(
        std::count(fake_system::replaced.begin(), fake_system::replaced.end(), metrics + "@-1"),
        static_cast<long>(writes(metrics)));
    // Without a status file the metrics file is written all the same.
    apply_status_path("");
    fake_system::replace_error = 0;
    const std::size_t before = writes(metrics);
    record_turn_begins();
    run_pass();
    run_pass();
    EXPECT_EQ(writes(metrics), before + 1);
}

// A task whose user does not exist never runs, not even as root, and says
// why in the status, the metrics and the answer to a start; the other runs.
TEST_F(status_test, a_refused_task_never_starts_and_says_why_everywhere) {
    fake_system::file_text = R"({"tasks": [{"name": "a", "user": "www", "limits": {"core": 0,
        "stack": "unlimited"}, "nice": 5}, {"name": "b", "user": "nobody"}]})";
    ASSERT_TRUE(apply_config());
    record_configuration(true, config_problem{});
    start_pass();
    EXPECT_EQ(fake_system::forked, std::vector<pid_t>{1000});
    reset_control();
    control.listen_fd = 70;
    fake_system::clients = {{0, "start b\n"}};
    fake_system::firings = {{sys.boot_milliseconds(), 70}};
    rest(sys.boot_milliseconds() + 50);
    ASSERT_EQ(fake_system::answers.size(), 1u);
    EXPECT_EQ(fake_system::answers[0].second,
              "b not started: user nobody does not exist\nexit 1\n");
    EXPECT_EQ(fake_system::forked.size(), 1u);
    reset_control();
    // A start that never ran its program is a problem too, until one does.
    copy_text(current_record.slots[0].start_failure, "cannot take uid 33: Operation not permitted");

    static char buf[metrics_buffer_size];
    const std::string metrics(buf, metrics_document(buf, sizeof buf, 0, 0));
    EXPECT_NE(metrics.find("vorn_restart_task_problem{slot=\"1\",name=\"b\",problem=\"user nobody "
                           "does not exist\"} 1\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("{slot=\"0\",name=\"a\",problem=\"cannot take uid 33: Operation not "
                           "permitted\"} 1\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("{slot=\"1\",name=\"b\",state=\"refused\"} 1\n"), std::string::npos);
    char* text = status_document();
    json_error_t error;
    json_t* document = json_loads(text, 0, &error);
    std::free(text);
    status_reading reading{};
    read_status_document(document, &reading);
    const read_settings& a = reading.slots[0].settings;
    EXPECT_FALSE(a.refused.given);
    EXPECT_EQ(a.uid.value, 33);
    EXPECT_EQ(a.group_count, 2u);
    EXPECT_EQ(a.limits[limit_core].value, 0);
    EXPECT_EQ(a.unlimited, 1U << limit_stack);
    EXPECT_EQ(a.nice.value, 5);
    EXPECT_EQ(reading.slots[0].start_failure.text, "cannot take uid 33: Operation not permitted");
    EXPECT_EQ(reading.slots[1].settings.refused.text, "user nobody does not exist");
    EXPECT_EQ(reading.slots[1].state, slot_state::refused);
    EXPECT_FALSE(reading.slots[1].settings.user_given);
    // Out of range, never believed.
    json_t* user = json_object_get(json_array_get(json_object_get(document, "slots"), 0), "user");
    json_object_set_new(user, "uid", json_integer(4294967295));
    json_array_append_new(json_object_get(user, "groups"), json_integer(-1));
    read_status_document(document, &reading);
    EXPECT_FALSE(reading.slots[0].settings.uid.ok());
    EXPECT_TRUE(reading.slots[0].settings.groups_invalid);
    json_decref(document);
}

}  // namespace
}  // namespace vorn
