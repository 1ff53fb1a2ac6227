// vorn_restart_ctl against the real supervisor: each verb, what it refuses,
// who may command, and clients that misbehave.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

const char* const long_running = "exec sleep 1000";

program_result ctl(const installation& inst, std::vector<std::string> args) {
    args.insert(args.begin(), VORN_CTL_BINARY);
    args.push_back("--status_path=" + inst.status_file());
    args.push_back("--install_path=" + inst.root());
    return run_on_clock(inst, args, {}, inst.killall_log());
}

std::string channel(const installation& inst) { return inst.status_file() + ".ctl"; }

// A connection to the channel from this process (or a child of it).
int connect_to(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string read_all(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, n);
    return text;
}

// The request sent as the user nobody, straight to the socket: the answer.
std::string as_nobody(const std::string& path, const std::string& request) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        const int fd = connect_to(path);
        std::string answer = fd < 0 ? "cannot connect" : "";
        // It may be answered, and let go, before the request is all sent.
        if (fd >= 0) {
            (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            answer = read_all(fd);
        }
        if (::write(pipe_fds[1], answer.data(), answer.size()) < 0) ::_exit(1);
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    const std::string answer = read_all(pipe_fds[0]);
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return answer;
}

// "true" or "false" once the supervisor has published whether its
// configuration is usable; "" before its status file is there.
std::string usable_published(const installation& inst) {
    const std::string text = read_file(inst.status_file());
    std::smatch m;
    return std::regex_search(text, m, std::regex("\"usable\":(true|false)")) ? m[1].str() : "";
}

TEST(ctl_e2e, each_verb_has_its_effect_and_says_what_happened) {
    installation inst;
    const std::string worker = unique_name("worker"), other = unique_name("other"),
                      fresh = unique_name("fresh"), spare = unique_name("spare");
    const std::string got = inst.root() + "/usr1";
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(worker, "trap 'echo got >> " + got + "' USR1; echo $$ >> " + got +
                          ".ready; while :; do sleep 0.05; done");
    for (const std::string& name : {other, fresh, spare}) inst.task(name, long_running);
    const std::string first = R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" + worker +
                              R"("}, {"name": ")" + other + R"("},
        {"name": ")" + spare + R"(", "mode": "none"}]})";
    inst.config(first);
    std::optional<supervisor> sup;
    sup.emplace(inst, run_options{.extra_arguments = {"--log_path=" + inst.root() + "/logs"}});
    // Before a command: the worker has logged its start (one restarted
    // sooner ends unlogged), and the status file that the client reads first
    // is published, which happens after the start pass.
    ASSERT_TRUE(wait_until([&] {
        return inst.start_pids(worker).size() == 1 && inst.start_pids(other).size() == 1 &&
               status_state(inst, other) == "running";
    }));

    // restart: the new child runs when the answer comes.
    program_result r = ctl(inst, {"restart", worker});
    ASSERT_TRUE(wait_until([&] { return inst.start_pids(worker).size() == 2; })) << r.out << r.err;
    std::vector<pid_t> pids = inst.start_pids(worker);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, worker + " restarted: pid " + std::to_string(pids[0]) +
                         " ended (signal 15), pid " + std::to_string(pids[1]) + " running\n");
    // An end the operator brought about, which the checker counts as no crash.
    EXPECT_NE(read_file(inst.status_file()).find("\"ended_by_supervisor\":1"), std::string::npos);
    EXPECT_NE(sup->err().find("vorn_restart: " + worker + " restarted by uid 0"),
              std::string::npos);
    EXPECT_NE(
        read_file(inst.root() + "/logs/" + worker + ".log").find(worker + " restarted by uid 0"),
        std::string::npos);
    // Once its trap is set.
    ASSERT_TRUE(wait_until([&] {
        return read_file(got + ".ready").find(std::to_string(pids[1]) + "\n") != std::string::npos;
    }));
    r = ctl(inst, {"signal", worker, "USR1"});
    EXPECT_EQ(r.out, worker + ": pid " + std::to_string(pids[1]) + " got SIGUSR1\n");
    EXPECT_TRUE(wait_until([&] { return read_file(got) == "got\n"; }));

    // Refused, with nothing changed.
    const struct {
        std::vector<std::string> args;
        int status;
        std::string said;
    } refusals[] = {
        {{"restart", "nobody_here"}, 2, "no task is named nobody_here"},
        {{"start", spare}, 2, spare + " is in mode none"},
        {{"signal", worker, "STOP"}, 2, "\"STOP\" is not a signal that can be sent"},
        {{"start", worker, "--grace=3"}, 2, "--grace goes with restart and stop"},
    };
    for (const auto& row : refusals) {
        r = ctl(inst, row.args);
        EXPECT_EQ(r.status, row.status) << row.args[0];
        EXPECT_NE((r.out + r.err).find(row.said), std::string::npos) << r.out << r.err;
    }

    // stop: held down across passes and a new supervisor, until start.
    r = ctl(inst, {"stop", worker});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(worker + " stopped: pid " + std::to_string(pids[1]), 0), 0u) << r.out;
    EXPECT_EQ(status_state(inst, worker), "stopped");  // published before the answer
    const program_result checked =
        run_on_clock(inst, {VORN_CHECK_BINARY, "--status", "--status_path=" + inst.status_file(),
                            "--install_path=" + inst.root()});
    EXPECT_EQ(checked.status, 0) << checked.out;
    EXPECT_NE(checked.out.find("stopped by the operator (uid 0)"), std::string::npos)
        << checked.out;
    sup.reset();
    sup.emplace(inst);
    const std::size_t passes = inst.events().size();
    ASSERT_TRUE(wait_until([&] { return inst.events().size() > passes + 5; }));
    EXPECT_EQ(inst.start_pids(worker).size(), 2u);
    r = ctl(inst, {"start", worker});
    ASSERT_TRUE(wait_until([&] { return inst.start_pids(worker).size() == 3; })) << r.out << r.err;
    pids = inst.start_pids(worker);
    EXPECT_EQ(r.out, worker + " started (released from its hold), pid " + std::to_string(pids[2]) +
                         " running\n");

    // The updater stopped and started: no new turn.
    r = ctl(inst, {"stop", "vorn_update"});
    EXPECT_NE(r.out.find("starts no turn"), std::string::npos) << r.out;
    EXPECT_EQ(ctl(inst, {"start", "vorn_update"}).status, 0);
    EXPECT_EQ(count_of(read_file(inst.status_file()), "\"turn\":1,"), 1u);

    // reload: a refused file changes nothing; a usable one, only what changed.
    inst.config(R"({"tasks": 7})");
    r = ctl(inst, {"reload"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("nothing changed: \"tasks\" is not an array"), std::string::npos) << r.out;
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" +
                worker + R"("}, {"name": ")" + other + R"(", "argument": ["-x"]},
        {"name": ")" +
                fresh + R"("}]})");
    r = ctl(inst, {"reload"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "reloaded: kept vorn_update vorn_monitor " + worker + "; restarted " + other +
                         "; stopped " + spare + "; started " + fresh + "\n");
    EXPECT_TRUE(wait_until(
        [&] { return inst.start_pids(fresh).size() == 1 && inst.start_pids(other).size() == 3; }));
    EXPECT_EQ(inst.start_pids(worker).size(), 3u);  // kept with its child
    const std::vector<std::string> all = {"vorn_update", "vorn_monitor", worker, other, fresh};
    EXPECT_TRUE(wait_until([&] { return table_mismatch(*sup, inst, all, all).empty(); }))
        << table_mismatch(*sup, inst, all, all);

    // A program that cannot be executed is no new child running.
    std::filesystem::remove(inst.sbin() + other);
    r = ctl(inst, {"restart", other});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("could not execute its program: No such file or directory"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(ctl(inst, {"start", other}).out.find("already runs"), std::string::npos);
    EXPECT_NE(sup->err().find("execlp(" + other), std::string::npos);
}

// Real time here: reload ends the 30 s wait after an unusable file at once,
// and any other verb is refused while nothing runs.
TEST(ctl_e2e, reload_ends_the_wait_after_an_unusable_file) {
    installation inst;
    const std::string worker = unique_name("worker");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    inst.config(R"({"tasks": 7})");
    supervisor sup(inst, {.environment = {{"VORN_TEST_MS_PER_SECOND", "1000"}}});
    // The channel is opened before the status file is published, and the
    // client reads the status file first.
    ASSERT_TRUE(wait_until([&] {
        return std::filesystem::exists(channel(inst)) && usable_published(inst) == "false";
    }));
    EXPECT_EQ(ctl(inst, {"restart", worker}).status, 1);
    program_result r = ctl(inst, {"reload"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("still unusable, nothing runs: \"tasks\" is not an array"),
              std::string::npos)
        << r.out;
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                worker + R"("}]})");
    r = ctl(inst, {"reload"});
    EXPECT_EQ(r.out, "the configuration is usable now: a new turn begins\n");
    EXPECT_TRUE(wait_until([&] { return inst.start_pids(worker).size() == 1; }, 5s));
}

// The waits after an unusable file so far.
std::size_t waits_of(const installation& inst) {
    const std::vector<std::string> events = inst.events();
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), "sleep 30"));
}

// Clients that send one request over and over, each on a connection of
// its own, from threads of this process, until the flood ends.
class flood {
public:
    flood(const std::string& path, const std::string& request, int clients) {
        for (int i = 0; i < clients; ++i)
            threads_.emplace_back([this, path, request] {
                while (!stop_) {
                    const int fd = connect_to(path);
                    if (fd < 0) {
                        std::this_thread::sleep_for(1ms);
                        continue;
                    }
                    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
                    read_all(fd);
                    ::close(fd);
                    ++sent_;
                }
            });
    }
    ~flood() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
    }
    long sent() const { return sent_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
    std::vector<std::thread> threads_;
};

// Real time: commands as fast as 8 clients can send them move no deadline.
// A task that exits at once is started once every two passes, a grace of
// 5 s ends in SIGKILL after 5 s, and the wait after an unusable file stays
// 30 s (there at the usual fast pace).
TEST(ctl_e2e, a_flood_of_commands_keeps_the_pace) {
    installation inst;
    const std::string worker = unique_name("worker"), quick = unique_name("quick"),
                      deaf = unique_name("deaf");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    inst.task(quick, "exit 0");
    inst.task(deaf, "trap '' TERM; touch " + inst.root() + "/deaf; exec sleep 1000");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                worker + R"("}, {"name": ")" + quick + R"("}, {"name": ")" + deaf + R"("}]})");
    {
        supervisor sup(inst, {.environment = {{"VORN_TEST_MS_PER_SECOND", "1000"}}});
        ASSERT_TRUE(wait_until([&] {
            return inst.start_pids(quick).size() == 1 && status_state(inst, deaf) == "running" &&
                   std::filesystem::exists(inst.root() + "/deaf");  // SIGTERM is ignored
        }));
        const std::size_t quick_before = inst.start_pids(quick).size();
        const auto begun = std::chrono::steady_clock::now();
        flood commands(channel(inst), "signal " + worker + " CONT\n", 8);
        // Straight to the socket (no process is forked beside the flood's
        // threads), again while the supervisor is busy with the flood.
        const std::string request = "restart " + deaf + " 5000\n";
        std::string answer;
        auto asked = std::chrono::steady_clock::now();
        for (int tries = 0;
             tries < 1000 && (answer.empty() || answer.starts_with("the supervisor serves"));
             ++tries) {
            const int fd = connect_to(channel(inst));
            asked = std::chrono::steady_clock::now();
            (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            answer = read_all(fd);
            ::close(fd);
        }
        const auto took = std::chrono::steady_clock::now() - asked;
        EXPECT_NE(answer.find("ended (signal 9)"), std::string::npos) << answer;
        // The answer comes once the new child has executed its program: a
        // fork and an exec after the SIGKILL, slower in the sanitizer build.
        EXPECT_GE(took, 5000ms);
        EXPECT_LT(took, 5250ms);
        std::this_thread::sleep_until(begun + 20s);
        const std::size_t quick_starts = inst.start_pids(quick).size() - quick_before;
        EXPECT_GE(quick_starts, 1u);
        EXPECT_LE(quick_starts, 3u);
        EXPECT_GT(commands.sent(), 200) << "the flood did not come";
    }
    installation broken;
    broken.task("vorn_update", long_running);
    broken.task("vorn_monitor", long_running);
    broken.config(R"({"tasks": 7})");
    supervisor sup(broken);
    ASSERT_TRUE(wait_until([&] { return waits_of(broken) >= 1; }));
    const auto begun = std::chrono::steady_clock::now();
    const std::size_t waits = waits_of(broken);
    {
        flood commands(channel(broken), "signal " + worker + " CONT\n", 8);
        std::this_thread::sleep_for(1500ms);  // 150 s at the supervisor's pace
    }
    const auto virtual_seconds = (std::chrono::steady_clock::now() - begun) / 10ms;
    EXPECT_LE(waits_of(broken) - waits, static_cast<std::size_t>(virtual_seconds / 30 + 1));
}

TEST(ctl_e2e, only_root_or_its_user_may_command_and_no_client_holds_it_up) {
    installation inst;
    const std::string worker = unique_name("worker"), crash = unique_name("crash");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    inst.task(crash, "exit 3");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" +
                worker + R"("}, {"name": ")" + crash + R"("}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return inst.start_pids(worker).size() == 1; }));
    struct stat info {};
    ASSERT_EQ(::lstat(channel(inst).c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Another user: turned away by the socket's mode, and by the supervisor
    // itself once the socket is opened to all.
    ::chmod(inst.root().c_str(), 0711);
    EXPECT_EQ(as_nobody(channel(inst), "restart " + worker + "\n"), "cannot connect");
    ::chmod(channel(inst).c_str(), 0666);
    EXPECT_EQ(as_nobody(channel(inst), "restart " + worker + "\n"),
              "uid 65534 may not command this supervisor (only root and uid 0)\nexit 3\n");
    EXPECT_EQ(inst.start_pids(worker).size(), 1u);

    // Clients that send nothing, half a request, garbage, too much, or go
    // away: each has its answer or is let go, and supervision goes on.  A
    // command gets a place within a second or so (the unit table says when).
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) silent.push_back(connect_to(channel(inst)));
    const int half = connect_to(channel(inst));
    ASSERT_EQ(::write(half, "resta", 5), 5);
    EXPECT_TRUE(wait_until([&] { return ctl(inst, {"signal", worker, "CONT"}).status == 0; }));
    const std::size_t starts = inst.start_pids(crash).size();
    EXPECT_TRUE(wait_until([&] { return inst.start_pids(crash).size() > starts + 3; }));
    for (const int fd : silent) {
        const std::string text = read_all(fd);
        EXPECT_EQ(text.rfind("no whole request within ", 0), 0u) << text;
        ::close(fd);
    }
    ::close(half);
    const int garbage = connect_to(channel(inst));
    ASSERT_EQ(::write(garbage, "\x01\x02\n", 3), 3);
    EXPECT_EQ(read_all(garbage), "the request holds a control character\nexit 2\n");
    const int flood = connect_to(channel(inst));
    const std::string huge(10000, 'x');
    EXPECT_GT(::send(flood, huge.data(), huge.size(), MSG_NOSIGNAL), 0);
    EXPECT_EQ(read_all(flood), "the request is longer than 271 bytes\nexit 2\n");
    for (const int fd : {garbage, flood}) ::close(fd);
    const int gone = connect_to(channel(inst));
    ASSERT_EQ(::write(gone, "restart ", 8), 8);
    ::close(gone);
    EXPECT_EQ(ctl(inst, {"restart", worker}).status, 0);
    EXPECT_TRUE(sup.running());
}

}  // namespace

// stop and restart end the task's whole unit: a helper its script left
// behind is gone with it, in a cgroup and as a process tree.
TEST(ctl_e2e, stop_and_restart_end_what_the_task_started) {
    if (::geteuid() != 0) GTEST_SKIP() << "task cgroups need root";
    const std::string mount = cgroup2_mount();
    const struct {
        const char* verb;
        bool cgroups;
    } rows[] = {{"stop", true}, {"restart", true}, {"stop", false}, {"restart", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.verb) + (row.cgroups ? " in a cgroup" : " as a tree"));
        if (row.cgroups && mount.empty()) {
            std::printf("skipped: no cgroup2 file system is mounted\n");
            continue;
        }
        installation inst;
        const std::string name = unique_name("unit");
        const std::string helper = inst.root() + "/helper.pid";
        inst.task("vorn_update", long_running);
        inst.task("vorn_monitor", long_running);
        inst.task(name, "sleep 1000 & echo $! > " + helper + "; exec sleep 999");
        inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
            {"name": ")" +
                    name + R"("}]})");
        std::vector<std::string> args;
        if (!row.cgroups) args.push_back("--no_task_cgroups");
        {
            supervisor sup(inst, run_options{.extra_arguments = args});
            ASSERT_TRUE(wait_until([&] {
                return !read_file(helper).empty() && status_state(inst, name) == "running";
            }));
            const std::string status = read_file(inst.status_file());
            const std::regex cgroup("\"cgroup\":\"([^\"]+/)" + name + "\"");
            std::smatch m;
            EXPECT_EQ(std::regex_search(status, m, cgroup), row.cgroups) << status;
            const pid_t pid = std::stoi(read_file(helper));
            const program_result r = ctl(inst, {row.verb, name});
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_TRUE(wait_until([&] { return process_gone(pid); }));
        }
    }
}

}  // namespace vorn::e2e
