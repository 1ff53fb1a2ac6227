// Requests over the control channel: what is taken, what is refused and
// why, and a request written by the client reads back the same.
#include <cerrno>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/control.hpp"
#include "base/system_ops.hpp"

namespace vorn {
namespace {

TEST(control_test, requests_are_read_or_refused_with_the_reason) {
    const struct {
        std::string line;
        const char* verb;  // nullptr: refused
        std::string name_or_why;
        std::uint32_t grace_ms = 0;
        int signal_number = 0;
    } rows[] = {
        {"restart worker", "restart", "worker", 5000, 0},
        {"restart worker 0", "restart", "worker", 0, 0},
        {"stop worker 600000", "stop", "worker", 600000, 0},
        {"start worker", "start", "worker", 5000, 0},
        {"signal worker HUP", "signal", "worker", 5000, SIGHUP},
        {"signal worker SIGUSR2", "signal", "worker", 5000, SIGUSR2},
        {"reload", "reload", "", 5000, 0},
        {"", nullptr, "give a verb and its words, one space between each"},
        {"restart  worker", nullptr, "give a verb and its words, one space between each"},
        {"restart worker ", nullptr, "give a verb and its words, one space between each"},
        {"kill worker", nullptr,
         "unknown verb \"kill\": give restart, stop, start, signal or reload"},
        {"restart", nullptr, "restart needs the name of a task"},
        {"reload worker", nullptr, "reload takes fewer words"},
        {"start worker 5", nullptr, "start takes fewer words"},
        {"restart worker 600001", nullptr,
         "\"600001\" is not a grace: give milliseconds from 0 to 600000"},
        {"stop worker -1", nullptr, "\"-1\" is not a grace: give milliseconds from 0 to 600000"},
        {"signal worker", nullptr,
         "signal needs a signal: HUP, INT, QUIT, USR1, USR2, TERM, KILL or CONT"},
        {"signal worker STOP", nullptr,
         "\"STOP\" is not a signal that can be sent: give HUP, INT, QUIT, USR1, USR2, TERM, "
         "KILL or CONT"},
        {"restart " + std::string(64, 'n'), nullptr, "a task's name holds at most 63 bytes"},
        {"restart w\torker", nullptr, "the request holds a control character"},
        {std::string(40, 'v'), nullptr,
         "unknown verb \"" + std::string(32, 'v') +
             "...\": give restart, stop, start, signal or reload"},
        {"reload" + std::string(266, ' '), nullptr, "the request is longer than 271 bytes"},
        // Names as the configuration takes them: a space, a backslash, a control byte.
        {"stop -a\\x20\\x5cb\\x0A", "stop", "-a \\b\n", 5000, 0},
        {"start w\\x00", nullptr,
         "a '\\' in a name begins \\xHH, the hex value of a byte other than 00"},
    };
    for (const auto& row : rows) {
        control_request request{};
        char why[control_why_size];
        const bool taken = parse_control_request(row.line, request, why, sizeof why);
        ASSERT_EQ(taken, row.verb != nullptr) << row.line << ": " << why;
        if (!taken) {
            EXPECT_EQ(why, row.name_or_why) << row.line;
            continue;
        }
        EXPECT_STREQ(control_verb_name(request.verb), row.verb);
        EXPECT_EQ(request.name.data(), row.name_or_why);
        EXPECT_EQ(request.grace_ms, row.grace_ms) << row.line;
        EXPECT_EQ(request.signal_number, row.signal_number) << row.line;
        // What the client writes reads back the same.
        char line[control_request_max + 1];
        const std::size_t length = format_control_request(request, line, sizeof line);
        ASSERT_GT(length, 0u);
        ASSERT_EQ(line[length - 1], '\n');
        control_request again{};
        ASSERT_TRUE(parse_control_request({line, length - 1}, again, why, sizeof why)) << line;
        EXPECT_EQ(again.verb, request.verb);
        EXPECT_STREQ(again.name.data(), request.name.data());
        EXPECT_EQ(again.grace_ms, request.grace_ms);
        EXPECT_EQ(again.signal_number, request.signal_number);
    }
}

TEST(control_test, a_request_to_a_peer_gone_fails_without_a_signal) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    ::close(ends[1]);
    EXPECT_EQ(real_system_ops.send_all(ends[0], "reload\n", 7), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(ends[0]);
}

TEST(control_test, the_channel_lies_beside_the_status_file_and_fits_a_socket_address) {
    char path[300];
    EXPECT_TRUE(control_channel_path("/run/vorn_restart.status", path, sizeof path));
    EXPECT_STREQ(path, "/run/vorn_restart.status.ctl");
    const std::string longest = "/" + std::string(102, 's');  // 107 bytes with ".ctl"
    EXPECT_TRUE(control_channel_path(longest.c_str(), path, sizeof path));
    EXPECT_FALSE(control_channel_path((longest + "s").c_str(), path, sizeof path));
    EXPECT_STREQ(path, "");
}

}  // namespace
}  // namespace vorn
