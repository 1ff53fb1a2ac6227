// The metrics file as its readers take it: Prometheus's own checker, and
// node_exporter's textfile collector serving it over HTTP.  Each is skipped,
// with the reason, where its program is not installed.
#include <arpa/inet.h>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

const char* const long_running = "exec sleep 1000";

bool installed(const std::string& program) {
    return run_program({"sh", "-c", "command -v \"$0\"", program}).status == 0;
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) out += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
    return out + "\"";
}

// The value of the first sample of `family` whose line holds every one of
// the label texts (name="...", state="..."), or "" when there is none.
std::string sample(const std::string& text, const std::string& family,
                   const std::vector<std::string>& labels) {
    const std::string head = labels.empty() ? family + " " : family + "{";
    for (std::size_t at = 0; (at = text.find(head, at)) != std::string::npos;) {
        const std::size_t start = at;
        at = text.find('\n', at);
        const std::string line = text.substr(start, at - start);
        if (start != 0 && text[start - 1] != '\n') continue;  // a longer name
        bool all = true;
        for (const std::string& l : labels) all = all && line.find(l) != std::string::npos;
        if (all) return line.substr(line.rfind(' ') + 1);
    }
    return "";
}

std::string name_label(const std::string& escaped) { return "name=\"" + escaped + "\""; }

// A port no one listens on now.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The body of GET /metrics, "" when nothing answers.
std::string scrape(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[65536];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, n);
        }
    }
    ::close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

// node_exporter with the textfile collector alone, on the loopback
// interface, ended by its pid.
class exporter {
public:
    exporter(const std::string& directory, const std::string& log) : port_(free_port()) {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port_);
            const std::string textfile = "--collector.textfile.directory=" + directory;
            FILE* out = std::freopen(log.c_str(), "w", stderr);
            if (out) ::dup2(::fileno(out), 1);
            ::execlp("prometheus-node-exporter", "prometheus-node-exporter", listen.c_str(),
                     textfile.c_str(), "--collector.disable-defaults", "--collector.textfile",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~exporter() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    exporter(const exporter&) = delete;
    exporter& operator=(const exporter&) = delete;
    std::string metrics() const { return scrape(port_); }

private:
    int port_;
    pid_t pid_ = -1;
};

// Running, held back, exited and a name that needs escaping: the file passes
// Prometheus's own check, and what node_exporter serves follows the tasks
// through a start, a kill and a marker.
TEST(metrics_e2e, promtool_passes_the_file_and_node_exporter_serves_it) {
    for (const char* program : {"promtool", "prometheus-node-exporter"})
        if (!installed(program))
            GTEST_SKIP() << program << " is not installed (Debian: prometheus, "
                         << "prometheus-node-exporter)";
    installation inst;
    const std::string dir = inst.root() + "/textfile", file = dir + "/vorn_restart.prom";
    std::filesystem::create_directory(dir);
    const std::string worker = unique_name("worker"), held = unique_name("held"),
                      crash = unique_name("crash"), quoted = unique_name("q\"uo\\te");
    const marker hold(held);
    hold.create();
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    for (const std::string& name : {worker, held, quoted}) inst.task(name, long_running);
    inst.task(crash, "exit 3");
    std::string tasks;
    for (const std::string& name : {worker, held, crash, quoted})
        tasks += ", {\"name\": " + json_text(name) + "}";
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"})" + tasks + "]}");
    // No status file: the metrics file goes on its own.
    supervisor sup(inst, {.extra_arguments = {"--status_path=", "--metrics_path=" + file}});
    const exporter node(dir, inst.root() + "/exporter.log");
    const std::string name = name_label(worker);
    const std::string escaped = json_text(quoted).substr(1, json_text(quoted).size() - 2);
    const auto served = [&](const std::string& family, const std::vector<std::string>& labels) {
        return sample(node.metrics(), family, labels);
    };
    ASSERT_TRUE(wait_until([&] {
        return served("vorn_restart_task_held_back", {name_label(held)}) == "1" &&
               served("vorn_restart_task_last_exit_code", {name_label(crash)}) == "3" &&
               served("vorn_restart_task_up", {name_label(escaped)}) == "1" &&
               served("vorn_restart_task_up", {name}) == "1";
    })) << node.metrics()
        << read_file(inst.root() + "/exporter.log") << sup.err();
    const program_result check = run_program({"sh", "-c", "promtool check metrics < \"$0\"", file});
    EXPECT_EQ(check.status, 0) << check.out << check.err << read_file(file);
    EXPECT_EQ(served("vorn_restart_task_starts_total", {name}), "1");
    EXPECT_EQ(served("vorn_restart_task_state", {name, "state=\"running\""}), "1");
    EXPECT_EQ(served("vorn_restart_configuration_usable", {}), "1");
    const double started = std::stod(served("vorn_restart_task_start_time_seconds", {name}));
    EXPECT_LE(std::abs(started - static_cast<double>(std::time(nullptr))), 60.0);
    EXPECT_FALSE(std::filesystem::exists(inst.status_file()));

    // Held back by its marker once killed: down, not started again.
    const marker hold_worker(worker);
    hold_worker.create();
    ASSERT_EQ(inst.start_pids(worker).size(), 1u);
    ASSERT_EQ(::kill(inst.start_pids(worker)[0], SIGKILL), 0);
    EXPECT_TRUE(wait_until([&] { return served("vorn_restart_task_held_back", {name}) == "1"; }))
        << node.metrics();
    const std::string text = node.metrics();
    EXPECT_EQ(sample(text, "vorn_restart_task_up", {name}), "0");
    EXPECT_EQ(sample(text, "vorn_restart_task_last_exit_signal", {name}), "9");
    EXPECT_EQ(sample(text, "vorn_restart_task_state", {name, "state=\"held_back\""}), "1");
    EXPECT_EQ(sample(text, "vorn_restart_task_starts_total", {name}), "1");
    EXPECT_EQ(sample(text, "vorn_restart_task_start_time_seconds", {name}), "");

    hold_worker.remove();
    EXPECT_TRUE(wait_until([&] {
        return served("vorn_restart_task_starts_total", {name}) == "2" &&
               served("vorn_restart_task_up", {name}) == "1";
    })) << node.metrics();
}

}  // namespace
}  // namespace vorn::e2e
