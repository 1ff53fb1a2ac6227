// The control channel, one row a defence: clients arrive at moments of the
// fake boot clock, and what the supervisor did is compared with what it must.
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/control.hpp"

namespace vorn {
namespace {

using testing::fake_system;

constexpr int channel = 70;

struct arrival {
    long long at_ms;
    const char* request;  // nullptr: the updater exits 0, a new turn begins
    uid_t uid = 0;
};

struct row {
    const char* what;
    std::vector<arrival> arrivals;
    const char* signals;         // "ms SIG pid, ..."
    const char* answers;         // "ms #client exit N, ..."
    const char* held = "";       // what was written to the hold file
    const char* said = nullptr;  // standard error, nullptr: not looked at
    std::function<void()> before = {};
};

long long origin = 0;
std::string answers;
std::string signals;
std::string held;

void add(std::string& list, const std::string& item) { list += (list.empty() ? "" : ", ") + item; }
std::string at() { return std::to_string(sys.boot_milliseconds() - origin); }

// a and b (pids 1001, 1002) ignore SIGTERM, w (1003) ends on it; a marker holds cp back.
class control_channel_test : public testing::supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        reset_control();
        control.listen_fd = channel;
        ASSERT_EQ(apply_status_path("/run/vr/vorn_restart.status"), path_result::ok);
        answers.clear();
        signals.clear();
        held.clear();
        origin = sys.boot_milliseconds();
        sys.write_descriptor = [](int fd, const char* data, std::size_t len) {
            const std::string client = std::to_string(fd - fake_system::client_base);
            add(answers, at() + " #" + client + " " + std::string(data + len - 7, 6));  // exit N
            return 0;
        };
        sys.send_signal = [](pid_t pid, int signal) {
            add(signals, at() + " " + control_signal_name(signal) + " " + std::to_string(pid));
            if (signal == SIGKILL || (signal == SIGTERM && pid == 1003))
                fake_system::ended[pid] = testing::signal_status(signal);
            return 0;
        };
        sys.replace_file = [](const char* path, const char* data, std::size_t len, std::time_t) {
            held += std::string(path).ends_with(".stopped") ? std::string(data, len) : "";
            return 0;
        };
        sys.remove_file = [](const char*) { return held += "(removed)", 0; };
        const char* names[] = {"a", "b", "w", "cp"};
        for (std::size_t i = 0; i < 4; ++i) {
            copy_text(task_table[2 + i].task_name, names[i]);
            task_table[2 + i].task_mode = mode_always;
            task_table[2 + i].task_pid = i < 3 ? 1001 + static_cast<pid_t>(i) : 0;
        }
        copy_text(task_table[5].task_argument[0], "--cp=2");
        fake_system::existing = {"/tmp/.vorn_update_c2.nr"};
    }
    void TearDown() override {
        reset_control();
        testing::fake_files::reset();
        supervisor_test::TearDown();
    }
};

TEST_F(control_channel_test, each_defence_holds) {
    const std::vector<row> rows = {
        // clang-format off
        {"4 places, a silent one's given up after 1 s, not to another user, who is refused",
         {{0, "restart a\n"}, {0, ""}, {0, ""}, {0, ""}, {500, "signal w USR1\n"},
          {1100, "signal w USR1\n", 5}, {1100, "signal w USR1\n"}},
         "0 TERM 1001, 1100 USR1 1003",
         "500 #4 exit 1, 1100 #5 exit 3, 1100 #1 exit 2, 1100 #6 exit 0"},
        {"stop keeps the hold in its file, start gives it up",
         {{0, "stop w\n"}, {100, "start w\n"}}, "0 TERM 1003", "1 #0 exit 0, 100 #1 exit 0",
         "0 1765152000 w\n(removed)"},
        {"a stop with no room for its hold says nothing", {{0, "stop w\n"}}, "", "0 #0 exit 1",
         "", "", [] { for (operator_hold& h : current_record.holds) copy_text(h.name, "x"); }},
        {"an end not yet reaped is seen", {{0, "signal w TERM\n"}, {100, "signal w TERM\n"}},
         "0 TERM 1003", "0 #0 exit 0, 100 #1 exit 1"},
        {"nor started by start", {{0, "signal w TERM\n"}, {100, "start w\n"}}, "0 TERM 1003",
         "0 #0 exit 0, 100 #1 exit 1"},
        {"the marker of a --cp= variant", {{0, "start cp\n"}}, "", "0 #0 exit 1"},
        {"a new turn ends a command", {{0, "restart a\n"}, {100, nullptr}}, "0 TERM 1001",
         "100 #0 exit 1"},
        {"after the grace the rest of the unit gets SIGKILL too", {{0, "stop a 50\n"}},
         "0 TERM 1001, 0 TERM 1010, 50 KILL 1001, 50 KILL 1010", "63 #0 exit 0",
         "0 1765152000 a\n", nullptr, [] {
             // a's helper, which ignores SIGTERM as a does.
             testing::fake_files::reset();
             testing::fake_files::install();
             testing::fake_files::add_process(1001, "a", "a", 1, "");
             testing::fake_files::add_process(1010, "helper", "helper", 1001, "");
         }},
        // clang-format on
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        SetUp();
        if (r.before) r.before();
        ::testing::internal::CaptureStderr();
        for (const arrival& a : r.arrivals) {
            rest(origin + a.at_ms);
            if (a.request == nullptr) updater_exited(10, 0);
            if (a.request != nullptr) fake_system::clients.push_back({a.uid, a.request});
            fake_system::firings.push_back({origin + a.at_ms, channel});
        }
        rest(origin + r.arrivals.back().at_ms + 100);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(signals, r.signals);
        EXPECT_EQ(answers, r.answers);
        EXPECT_EQ(held, r.held);
        EXPECT_TRUE(r.said == nullptr || err == r.said) << err;
    }
}

}  // namespace
}  // namespace vorn
