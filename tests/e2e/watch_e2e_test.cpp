// The real binary watched: systemd's notification socket, played by a
// datagram socket of the test's own, and a watchdog device, played by a
// FIFO that records every write.  The kernel's softdog is not used: a
// supervisor ended by the test would reset the machine running the tests.
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

// A bound datagram socket at a path, or at an abstract name for "@...".
int listen_at(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, sizeof address.sun_path);
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
    return fd;
}

std::vector<std::string> datagrams(int fd) {
    std::vector<std::string> got;
    char buf[512];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) >= 0;) got.emplace_back(buf, n);
    return got;
}

std::size_t passes(const installation& inst) {
    std::size_t n = 0;
    for (const std::string& line : inst.events()) n += line == "sleep 5";
    return n;
}

TEST(watch_e2e, systemd_and_the_watchdog_hear_from_every_pass) {
    for (const bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract socket" : "socket path");
        installation inst;
        const std::string task = unique_name("env");
        inst.task("vorn_update", "exec sleep 1000");
        inst.task("vorn_monitor", "exec sleep 1000");
        // What a task finds of systemd's variables: nothing.
        inst.task(task, "echo \"${NOTIFY_SOCKET-unset} ${WATCHDOG_USEC-unset}\" > " + inst.root() +
                            "/" + task + ".seen; exec sleep 1000");
        inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                    task + R"("}]})");
        const std::string socket_name =
            abstract ? "@" + unique_name("vorn-notify") : inst.root() + "/notify";
        const int listener = listen_at(socket_name);
        ASSERT_GE(listener, 0) << std::strerror(errno);
        const std::string device = inst.root() + "/watchdog";
        ASSERT_EQ(::mkfifo(device.c_str(), 0600), 0);
        const int device_reader = ::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(device_reader, 0);
        std::vector<std::string> got;
        {
            supervisor sup(inst, {.extra_arguments = {"--watchdog=" + device},
                                  .environment = {{"NOTIFY_SOCKET", socket_name},
                                                  {"WATCHDOG_USEC", "90000000"}}});
            // Read as they come: a datagram socket queues only a few.
            ASSERT_TRUE(wait_until([&] {
                for (std::string& message : datagrams(listener)) got.push_back(std::move(message));
                return passes(inst) >= 4;
            })) << sup.err();
            sup.stop();
        }
        const std::size_t pass_count = passes(inst);
        for (std::string& message : datagrams(listener)) got.push_back(std::move(message));
        ASSERT_GE(got.size(), 3U);
        EXPECT_EQ(got[0], "READY=1");
        EXPECT_EQ(got[1], "STATUS=turn 1: 3 of 3 tasks running");
        std::size_t kicks = 0;
        for (std::size_t i = 2; i < got.size(); ++i) {
            EXPECT_EQ(got[i], "WATCHDOG=1") << i;
            kicks += got[i] == "WATCHDOG=1";
        }
        // A kick comes before each pass's sleep: the last pass may have
        // kicked and been stopped before it slept.
        EXPECT_GE(kicks, pass_count);
        EXPECT_LE(kicks, pass_count + 1);
        char bytes[4096];
        const ssize_t written = ::read(device_reader, bytes, sizeof bytes);
        EXPECT_EQ(static_cast<std::size_t>(written), kicks);
        EXPECT_EQ(std::string(bytes, static_cast<std::size_t>(written)).find('V'),
                  std::string::npos);
        EXPECT_EQ(read_file(inst.root() + "/" + task + ".seen"), "unset unset\n");
        ::close(listener);
        ::close(device_reader);
        if (!abstract) ::unlink(socket_name.c_str());
    }
}

}  // namespace
}  // namespace vorn::e2e
