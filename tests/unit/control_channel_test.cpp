// The channel's defences, each guarded by one row: clients arrive at
// moments of the fake boot clock, and what the supervisor did (signals with
// their moments, each client's exit status, the holds a supervisor started
// again finds) is compared with what it must do.
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/control.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/control.hpp"
#include "supervise/cycle.hpp"
#include "supervise/holds.hpp"
#include "tasks/config.hpp"

namespace vorn {
namespace {

using testing::fake_system;

constexpr int channel = 70;
// Slots 2..5 run a, b, c, d (pids 1001..1004), which ignore SIGTERM;
// slot 6 runs w (pid 1005), which ends on it.
constexpr pid_t obeys_term = 1005;

struct arrival {
    long long at_ms;
    control_verb verb;
    const char* name;  // nullptr: the client sends nothing
    std::uint32_t grace_ms = default_grace_ms;
    uid_t uid = 0;
    bool half = false;  // only the first half of its request
    int to = -1;        // more bytes from client #to, not a new client
};

struct row {
    const char* what;
    std::vector<arrival> arrivals;
    long long until_ms;
    const char* signals;            // "at SIG pid, ...": what was sent
    const char* answers;            // "at #client exit N, ...", nullptr: not looked at
    int w_runs_after_restart = -1;  // a supervisor started again: 1 starts w, 0 not, -1 not asked
};

// Files by path, the descriptors' answers and the signals, summed up.
std::map<std::string, std::string> files;
long long origin = 0;
std::string answers;
std::string signals;
int (*fake_write)(int, const char*, std::size_t) = nullptr;

void add(std::string& list, const std::string& item) { list += (list.empty() ? "" : ", ") + item; }

int write_answer(int fd, const char* data, std::size_t len) {
    if (fd < fake_system::client_base || fd >= fake_system::client_base + 100)
        return fake_write(fd, data, len);
    const std::string text(data, len);
    add(answers, std::to_string(sys.boot_milliseconds() - origin) + " #" +
                     std::to_string(fd - fake_system::client_base) + " " +
                     text.substr(text.rfind("exit ")));
    answers.pop_back();  // the newline
    return 0;
}

int send(pid_t pid, int signal) {
    add(signals, std::to_string(sys.boot_milliseconds() - origin) + " " +
                     control_signal_name(signal) + " " + std::to_string(pid));
    if (signal == SIGKILL || (signal == SIGTERM && pid == obeys_term))
        fake_system::ended[pid] = testing::signal_status(signal);
    return 0;
}

std::string request_text(const arrival& a) {
    if (a.name == nullptr) return "";
    control_request r{};
    r.verb = a.verb;
    copy_text(r.name, a.name);
    r.grace_ms = a.grace_ms;
    r.signal_number = SIGUSR1;
    std::array<char, control_request_max> line{};
    const std::size_t n = format_control_request(r, line.data(), line.size());
    return std::string(line.data(), a.half ? n / 2 : n);
}

// A supervisor started again: no children, the holds from their file.
bool w_runs_after_restart() {
    for (task_info& t : task_table) t.task_pid = 0;
    reset_record();
    load_holds();
    record_configuration(true, config_problem{});
    start_pass();
    return task_table[6].task_pid != 0;
}

class control_channel_test : public testing::supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        reset_control();
        control.listen_fd = channel;
        ASSERT_EQ(apply_status_path("/run/vr/vorn_restart.status"), path_result::ok);
        files.clear();
        answers.clear();
        signals.clear();
        origin = sys.boot_milliseconds();
        fake_write = sys.write_descriptor;
        sys.write_descriptor = write_answer;
        sys.send_signal = send;
        sys.replace_file = [](const char* path, const char* data, std::size_t len, std::time_t) {
            files[path].assign(data, len);
            return 0;
        };
        sys.remove_file = [](const char* path) {
            if (files.erase(path) == 1) return 0;
            errno = ENOENT;
            return -1;
        };
        sys.read_file_info = [](const char* path, char* buf, std::size_t cap, struct stat* info) {
            *info = {};
            info->st_mode = S_IFREG | 0600;
            info->st_nlink = 1;
            const auto found = files.find(path);
            if (found == files.end()) {
                errno = ENOENT;
                return -1L;
            }
            return static_cast<long>(found->second.copy(buf, cap));
        };
        const char* names[] = {"a", "b", "c", "d", "w"};
        for (std::size_t i = 0; i < 5; ++i) {
            task_info& t = task_table[2 + i];
            copy_text(t.task_name, names[i]);
            t.task_mode = mode_always;
            t.task_pid = 1001 + static_cast<pid_t>(i);
        }
    }
    void TearDown() override {
        reset_control();
        supervisor_test::TearDown();
    }
};

std::vector<arrival> four_silent_and(const arrival& fifth) {
    const arrival silent{0, control_verb::restart, nullptr};
    return {silent, silent, silent, silent, fifth};
}

TEST_F(control_channel_test, each_defence_holds) {
    const std::vector<row> rows = {
        {"SIGKILL at the end of the grace asked",
         {{0, control_verb::restart, "a", 1234}},
         1300,
         "0 TERM 1001, 1234 KILL 1001",
         nullptr},
        {"stop holds the task down in a supervisor started again",
         {{0, control_verb::stop, "w"}},
         100,
         "0 TERM 1005",
         nullptr,
         0},
        {"start ends the hold in a supervisor started again",
         {{0, control_verb::stop, "w"}, {100, control_verb::start, "w"}},
         200,
         "0 TERM 1005",
         nullptr,
         1},
        {"4 commands served at once, a fifth told to try again",
         {{0, control_verb::restart, "a"},
          {0, control_verb::restart, "b"},
          {0, control_verb::restart, "c"},
          {0, control_verb::restart, "d"},
          {1100, control_verb::signal, "w"}},
         1200,
         "0 TERM 1001, 0 TERM 1002, 0 TERM 1003, 0 TERM 1004",
         "1100 #4 exit 1"},
        {"half a request, alone, let go at its deadline, whatever it sends more",
         {{0, control_verb::restart, "a", default_grace_ms, 0, true},
          {3000, control_verb::restart, "a", default_grace_ms, 0, true, 0}},
         6000,
         "",
         "5000 #0 exit 2"},
        {"silent clients give a place up after a second",
         four_silent_and({1100, control_verb::signal, "w"}), 1200, "1100 USR1 1005",
         "1100 #0 exit 2, 1100 #4 exit 0"},
        {"silent clients keep their places for a second",
         four_silent_and({500, control_verb::signal, "w"}), 600, "", "500 #4 exit 1"},
        {"another user refused before it takes a place",
         four_silent_and({1100, control_verb::signal, "w", 0, 5}), 1200, "", "1100 #4 exit 3"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        TearDown();
        SetUp();
        ::testing::internal::CaptureStderr();
        for (const arrival& a : r.arrivals) {
            rest(origin + a.at_ms);
            const int fd = fake_system::client_base + a.to;
            if (a.to >= 0) fake_system::requests[fd] += request_text(a);
            if (a.to < 0) fake_system::clients.push_back({a.uid, request_text(a)});
            fake_system::firings.push_back({origin + a.at_ms, a.to < 0 ? channel : fd});
        }
        rest(origin + r.until_ms);
        EXPECT_EQ(signals, r.signals);
        if (r.answers != nullptr) {
            EXPECT_EQ(answers, r.answers);
        }
        if (r.w_runs_after_restart >= 0) {
            EXPECT_EQ(w_runs_after_restart(), r.w_runs_after_restart == 1);
        }
        ::testing::internal::GetCapturedStderr();
    }
}

}  // namespace
}  // namespace vorn
