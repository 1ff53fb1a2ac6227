#include <algorithm>
#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/cycle.hpp"
#include "supervise/publish.hpp"
#include "supervise/record.hpp"
#include "supervise/watch.hpp"
#include "tasks/config.hpp"

namespace vorn {
namespace {

using testing::fake_system;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// What the supervisor sent or wrote, in order: "notify:<message>",
// "device:<bytes>" and "sleep:<seconds>".
struct watch_fake {
    static inline std::vector<std::string> events;
    static inline int send_error = 0;  // errno for send_datagram, 0: sent
    static inline int open_error = 0;  // errno for open_device, 0: opens
    static inline mode_t device_mode = S_IFCHR | 0600;
    // What WDIOC_GETTIMEOUT answers, -1: ENOTTY; not_a_watchdog: ENOTTY to
    // WDIOC_GETSUPPORT too.
    static inline int timeout = -1;
};
constexpr int not_a_watchdog = -2;

class watch_test : public testing::supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        watch_fake::events.clear();
        watch_fake::send_error = watch_fake::open_error = 0;
        watch_fake::device_mode = S_IFCHR | 0600;
        watch_fake::timeout = -1;
        sys.open_datagram_socket = [] { return 30; };
        sys.send_datagram = [](int, const char*, const char* message, std::size_t len) {
            watch_fake::events.push_back("notify:" + std::string(message, len));
            errno = watch_fake::send_error;
            return watch_fake::send_error == 0 ? 0 : -1;
        };
        sys.open_device = [](const char*, struct stat* info) {
            info->st_mode = watch_fake::device_mode;
            errno = watch_fake::open_error;
            return watch_fake::open_error == 0 ? 31 : -1;
        };
        sys.watchdog_timeout = [](int) {
            errno = ENOTTY;
            return watch_fake::timeout < 0 ? -1 : watch_fake::timeout;
        };
        sys.watchdog_support = [](int) {
            errno = ENOTTY;
            return watch_fake::timeout == not_a_watchdog ? -1 : 0;
        };
        sys.write_descriptor = [](int, const char* data, std::size_t len) {
            watch_fake::events.push_back("device:" + std::string(data, len));
            return 0;
        };
        sys.wait_for = [](struct pollfd*, std::size_t, long long deadline) {
            const long long now = sys.boot_milliseconds();
            watch_fake::events.push_back("sleep:" + std::to_string((deadline - now) / 1000));
            fake_system::boot_ms += deadline - now;
            return 0;
        };
        CaptureStderr();
    }
    void TearDown() override {
        GetCapturedStderr();
        supervisor_test::TearDown();
    }
};

TEST_F(watch_test, device_is_kept_alive_in_pieces_its_timeout_allows) {
    struct row {
        const char* what;
        int open_error;
        mode_t mode;
        int timeout;
        unsigned pause;
        std::vector<std::string> events;  // of the pause
        const char* said;                 // on standard error, "" for nothing
    };
    const std::vector<row> rows = {
        {"no device: one sleep as always",
         ENOENT,
         S_IFCHR,
         60,
         30,
         {"sleep:30"},
         "cannot open the watchdog /dev/wd: No such file or directory; supervising without it"},
        {"a regular file is never written over",
         0,
         S_IFREG | 0644,
         -1,
         30,
         {"sleep:30"},
         "cannot use the watchdog /dev/wd: not a device"},
        {"a character device that is no watchdog is never written to",
         0,
         S_IFCHR,
         not_a_watchdog,
         30,
         {"sleep:30"},
         "/dev/wd: not a watchdog (Inappropriate ioctl for device); supervising without it"},
        {"a timeout of a minute leaves the wait whole", 0, S_IFCHR, 60, 30, {"sleep:30"}, ""},
        {"a timeout of 15 s cuts the wait, same total",
         0,
         S_IFCHR,
         15,
         30,
         {"sleep:7", "device:\n", "sleep:7", "device:\n", "sleep:7", "device:\n", "sleep:7",
          "device:\n", "sleep:2"},
         ""},
        {"a device that does not tell gets a kick every pass",
         0,
         S_IFIFO,
         -1,
         12,
         {"sleep:5", "device:\n", "sleep:5", "device:\n", "sleep:2"},
         ""},
        {"a timeout shorter than a pass is said and the pass cut",
         0,
         S_IFCHR,
         6,
         5,
         {"sleep:3", "device:\n", "sleep:2"},
         "resets the device after 6 s, less than a pass (5 s) and a margin (5 s); it is "
         "written to every 3 s"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        reset_watch();
        watch_fake::events.clear();
        fake_system::closed.clear();
        watch_fake::open_error = r.open_error;
        watch_fake::device_mode = r.mode;
        watch_fake::timeout = r.timeout;
        GetCapturedStderr();
        CaptureStderr();
        const bool refused = S_ISREG(r.mode) || r.timeout == not_a_watchdog;
        EXPECT_EQ(open_watchdog("/dev/wd"), r.open_error == 0 && !refused);
        // The device stays open for the supervisor's life; a refused one is closed.
        EXPECT_EQ(fake_system::closed, refused ? std::vector<int>{31} : std::vector<int>{});
        rest(sys.boot_milliseconds() + r.pause * 1000LL);
        EXPECT_EQ(watch_fake::events, r.events);
        const std::string said = GetCapturedStderr();
        CaptureStderr();
        if (r.said[0] == '\0')
            EXPECT_EQ(said, "");
        else
            EXPECT_NE(said.find(r.said), std::string::npos) << said;
    }
}

// An idle minute with metrics and both watchdogs on, each pass taking a few
// ms of its own: one wait per pass, its kicks and publishing done at the
// pass's own wake-up.
TEST_F(watch_test, an_idle_minute_wakes_once_a_pass) {
    struct row {
        const char* what;
        int timeout;       // the device's, -1: it does not tell
        const char* usec;  // WATCHDOG_USEC, nullptr: none
        unsigned piece;    // the longest time between two kicks
    };
    const std::vector<row> rows = {
        {"a device that does not tell", -1, nullptr, 5},
        {"a device of 60 s, systemd's 20 s", 60, "20000000", 10},
        {"a device of 10 s, systemd's 11 s", 10, "11000000", 5},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        reset_watch();
        reset_publishing();
        watch_fake::timeout = r.timeout;
        watch_fake::device_mode = r.timeout < 0 ? S_IFIFO | 0600 : S_IFCHR | 0600;
        ASSERT_EQ(apply_metrics_path("/var/m.prom"), path_result::ok);
        ASSERT_TRUE(open_watchdog("/dev/wd"));
        ASSERT_TRUE(open_notify("@vorn/notify", r.usec));
        EXPECT_EQ(watch.piece_seconds, r.piece);
        // Each pass's reap step and each mark of a file take 2 ms.
        sys.reap_any = [](int*) { return fake_system::boot_ms += 2, pid_t{0}; };
        sys.stamp_file = [](const char*, std::time_t) { return fake_system::boot_ms += 2, 0; };
        for (std::size_t i = 0; i < 3; ++i) {
            copy_text(task_table[i].task_name, i == 0 ? "vorn_update" : "w" + std::to_string(i));
            task_table[i].task_mode = mode_always;
            task_table[i].task_pid = static_cast<pid_t>(100 + i);
        }
        record_configuration(true, config_problem{});
        run_pass();  // the first pass writes both files
        watch_fake::events.clear();
        const long long start = sys.boot_milliseconds();
        while (sys.boot_milliseconds() - start < 60000) run_pass();
        const auto count = [&](const std::string& event) {
            return std::count_if(watch_fake::events.begin(), watch_fake::events.end(),
                                 [&](const std::string& e) { return e.starts_with(event); });
        };
        EXPECT_EQ(count("sleep:"), 12) << ::testing::PrintToString(watch_fake::events);
        EXPECT_EQ(count("device:"), 12);
        EXPECT_EQ(count("notify:WATCHDOG=1"), 12);
    }
}

TEST_F(watch_test, systemd_hears_ready_once_each_pass_and_each_new_picture) {
    for (const char* name : {"", "relative/socket", "@"}) EXPECT_FALSE(open_notify(name, nullptr));
    EXPECT_NE(GetCapturedStderr().find("NOTIFY_SOCKET is neither a socket path"),
              std::string::npos);
    CaptureStderr();
    EXPECT_TRUE(open_notify("@vorn/notify", "90000000"));
    EXPECT_EQ(watch.piece_seconds, 45U);  // the long wait stays one sleep
    copy_text(task_table[0].task_name, "updater");
    task_table[0].task_mode = mode_once;
    copy_text(task_table[1].task_name, "worker");
    task_table[1].task_mode = mode_always;
    record_turn_begins();
    record_configuration(true, config_problem{});
    task_table[0].task_pid = 100;
    marker_path marker{};
    copy_text(marker, "/tmp/.worker.nr");
    record_gate(1, marker);

    watch_ready();
    watch_status();
    watch_kick();
    watch_ready();   // once in the supervisor's life
    watch_status();  // nothing new: not sent again
    watch_kick();
    current_record.changed = false;
    record_gate(1, marker_path{});
    task_table[1].task_pid = 101;
    record_started(1);
    watch_status();
    EXPECT_EQ(watch_fake::events,
              (std::vector<std::string>{
                  "notify:READY=1", "notify:STATUS=turn 1: 1 of 2 tasks running, worker held back",
                  "notify:WATCHDOG=1", "notify:WATCHDOG=1",
                  "notify:STATUS=turn 1: 2 of 2 tasks running"}));

    // A socket that does not answer is said once, until a message gets through.
    watch_fake::send_error = ECONNREFUSED;
    watch_kick();
    watch_kick();
    watch_fake::send_error = 0;
    watch_kick();
    watch_fake::send_error = ECONNREFUSED;
    watch_kick();
    const std::string said = GetCapturedStderr();
    const std::string line = "cannot notify systemd at @vorn/notify: Connection refused\n";
    EXPECT_EQ(said, "vorn_restart: " + line + "vorn_restart: " + line);
    CaptureStderr();
}

TEST_F(watch_test, status_line_is_one_clean_line) {
    struct row {
        const char* name;
        const char* problem;  // nullptr: a usable configuration
        std::size_t size;
        const char* line;
    };
    const std::vector<row> rows = {
        {"w\nrm\x1b", nullptr, 256, "turn 1: 0 of 1 task running, w?rm? held back"},
        {"w", "line 2: \"modes\" is not an array\n", 256,
         "turn 1: configuration unusable: line 2: \"modes\" is not an array?"},
        {"\xc3\xa9\xc3\xa9\xc3\xa9", nullptr, 36, "turn 1: 0 of 1 task running, \xc3\xa9..."},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        clear_task_table();
        copy_text(task_table[0].task_name, r.name);
        task_table[0].task_mode = mode_always;
        reset_record();
        record_turn_begins();
        config_problem problem{};
        if (r.problem) copy_text(problem.text, r.problem);
        record_configuration(r.problem == nullptr, problem);
        marker_path marker{};
        copy_text(marker, "/tmp/.w.nr");
        record_gate(0, marker);
        std::array<char, 256> line{};
        format_watch_status(line.data(), r.size);
        EXPECT_STREQ(line.data(), r.line);
    }
}

}  // namespace
}  // namespace vorn
