// The metrics file as its readers take it: Prometheus's own checker, and
// node_exporter's textfile collector serving it over HTTP.  Each is skipped,
// with the reason, where its program is not installed.
#include <arpa/inet.h>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <netinet/in.h>
#include <optional>
#include <regex>
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

// The body of GET path, "" when nothing answers.
std::string http_get(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
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
    std::string metrics() const { return http_get(port_, "/metrics"); }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

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
    const std::time_t before = std::time(nullptr);
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
    // A start time by the wall clock, from the supervisor's boot clock: that
    // clock runs k times as fast as the wall clock here, so a file written
    // s real seconds after the start dates it (k - 1) s too early.  Between
    // the wall clock before the supervisor and now, less that much at most.
    const double started = std::stod(served("vorn_restart_task_start_time_seconds", {name}));
    const std::time_t now = std::time(nullptr);
    const double k = 1000.0 / static_cast<double>(inst.ms_per_second());
    EXPECT_LE(started, static_cast<double>(now) + 1) << now;
    EXPECT_GE(started,
              static_cast<double>(before) - (k - 1) * static_cast<double>(now - before + 1))
        << before << " to " << now;
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

// The fleet's side: devices whose supervisors each run in a PID namespace
// of their own (as pid 1, so that what killall and /proc see is theirs
// alone), each served by its own node_exporter, all scraped by one real
// Prometheus server that evaluates the shipped alert rules.

// The supervisor's passes last 50 ms a second (5 s take 0.25 s): the rules
// run with every duration divided by the same factor, nothing else changed.
constexpr int time_factor = 20;

std::string scaled_rules() {
    const std::string text = read_file(VORN_ALERT_RULES);
    static const std::regex minutes(R"((for: |\[)(\d+)m\b)");
    std::string out;
    auto at = text.cbegin();
    for (std::sregex_iterator m(text.begin(), text.end(), minutes), end; m != end; ++m) {
        out.append(at, (*m)[0].first);
        out += (*m)[1].str() + std::to_string(std::stoi((*m)[2].str()) * 60 / time_factor) + "s";
        at = (*m)[0].second;
    }
    return out.append(at, text.cend());
}

class device {
public:
    // set_up writes the tasks and the configuration.
    explicit device(const std::function<void(const installation&)>& set_up) {
        std::filesystem::create_directory(inst.root() + "/textfile");
        set_up(inst);
        sup.emplace(
            inst,
            run_options{
                .extra_arguments = {"--metrics_path=" + inst.root() +
                                    "/textfile/vorn_restart.prom"},
                // The supervisor is pid 1 of its namespace: the process the
                // test libraries act in, not the wrapper the harness forked.
                .environment = {{"VORN_TEST_MS_PER_SECOND", "50"}, {"VORN_TEST_MARKED_PID", "1"}},
                .wrapper = {"unshare", "--pid", "--fork", "--mount-proc", "--kill-child"},
            });
        node.emplace(inst.root() + "/textfile", inst.root() + "/exporter.log");
    }
    // The supervisor, pid 1 of its namespace: the wrapper's one child.
    pid_t supervisor_pid() const {
        const std::vector<pid_t> children = sup->children();
        return children.size() == 1 ? children[0] : -1;
    }
    installation inst;
    std::optional<supervisor> sup;
    std::optional<exporter> node;
};

class prometheus_server {
public:
    prometheus_server(const std::string& dir, const std::vector<std::string>& targets)
        : port_(free_port()) {
        std::string list;
        for (const std::string& t : targets) list += (list.empty() ? "\"" : ", \"") + t + "\"";
        write_text(dir + "/rules.yml", scaled_rules());
        write_text(dir + "/prometheus.yml",
                   "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
                   "rule_files: [\"" +
                       dir +
                       "/rules.yml\"]\n"
                       "scrape_configs:\n  - job_name: device\n    static_configs:\n"
                       "      - targets: [" +
                       list + "]\n");
        pid_ = ::fork();
        if (pid_ == 0) {
            FILE* out = std::freopen((dir + "/prometheus.log").c_str(), "w", stderr);
            if (out) ::dup2(::fileno(out), 1);
            const std::string config = "--config.file=" + dir + "/prometheus.yml";
            const std::string data = "--storage.tsdb.path=" + dir + "/data";
            const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port_);
            ::execlp("prometheus", "prometheus", config.c_str(), data.c_str(), listen.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~prometheus_server() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    prometheus_server(const prometheus_server&) = delete;
    prometheus_server& operator=(const prometheus_server&) = delete;

    // The alerts now, one text each: "<alertname> <instance> <name> <state>".
    std::vector<std::string> alerts() const {
        static const std::regex field(R"re("(alertname|instance|name)":"([^"]*)")re");
        static const std::regex state(R"re("state":"(\w+)")re");
        const std::string body = http_get(port_, "/api/v1/alerts");
        std::vector<std::string> found;
        for (std::size_t at = 0; (at = body.find("{\"labels\":", at)) != std::string::npos;) {
            const std::size_t next = body.find("{\"labels\":", at + 1);
            const std::string one = body.substr(at, next - at);
            at = next == std::string::npos ? body.size() : next;
            std::string alertname, instance, name = "-";
            for (std::sregex_iterator m(one.begin(), one.end(), field), end; m != end; ++m)
                ((*m)[1] == "alertname"  ? alertname
                 : (*m)[1] == "instance" ? instance
                                         : name) = (*m)[2].str();
            std::smatch s;
            if (std::regex_search(one, s, state))
                found.push_back(alertname + " " + instance + " " + name + " " + s[1].str());
        }
        return found;
    }

private:
    static void write_text(const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr) << path;
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    int port_;
    pid_t pid_ = -1;
};

std::string tasks_json(const std::vector<std::string>& entries) {
    std::string json = R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"})";
    for (const std::string& e : entries) json += ", " + e;
    return json + "]}";
}

void base_tasks(const installation& inst) {
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
}

// Each fault fires its alert within its bound, measured from the fault;
// nothing else fires: not for the healthy device with its held-back task,
// its ended once task and its slot in mode none, and not for a device whose
// configuration has become usable or whose supervisor goes on again.
TEST(metrics_e2e, shipped_alerts_fire_on_a_real_server_for_each_fault_and_no_other) {
    for (const char* program : {"prometheus", "prometheus-node-exporter", "unshare"})
        if (!installed(program))
            GTEST_SKIP() << program << " is not installed (Debian: prometheus, "
                         << "prometheus-node-exporter, util-linux)";
    // Each device's supervisor in a PID namespace with a /proc of its own,
    // which unshare mounts after making / private: in a chroot, / is no
    // mount point and cannot be.
    const program_result ns = run_program({"unshare", "--pid", "--fork", "--mount-proc", "true"});
    if (ns.status != 0)
        GTEST_SKIP() << "no PID namespace with a /proc of its own here (not root, or / is no "
                     << "mount point, as in a chroot): " << ns.err;

    const std::string steady = unique_name("steady"), held = unique_name("held"),
                      once = unique_name("once"), spare = unique_name("spare"),
                      quitter = unique_name("quitter"), missing = unique_name("missing"),
                      crasher = unique_name("crasher");
    const marker hold(held);
    hold.create();
    const auto started = std::chrono::steady_clock::now();
    device healthy([&](const installation& inst) {
        base_tasks(inst);
        for (const std::string& name : {steady, held, spare}) inst.task(name, long_running);
        inst.task(once, "exit 0");
        inst.config(tasks_json({"{\"name\": \"" + steady + "\"}", "{\"name\": \"" + held + "\"}",
                                "{\"name\": \"" + once + "\", \"mode\": \"once\"}",
                                "{\"name\": \"" + spare + "\", \"mode\": \"none\"}"}));
    });
    device faulty([&](const installation& inst) {  // the executable of `missing` is left out
        base_tasks(inst);
        inst.task(quitter, "exit 0");
        inst.task(crasher, "kill -SEGV $$");
        inst.config(
            tasks_json({"{\"name\": \"" + quitter + "\"}", "{\"name\": \"" + missing + "\"}",
                        "{\"name\": \"" + crasher + "\"}"}));
    });
    device turned([&](const installation& inst) {
        base_tasks(inst);
        inst.config(R"({"tasks": 7})");
    });
    const std::string h = healthy.node->target(), f = faulty.node->target(),
                      t = turned.node->target();
    installation server_root;
    const prometheus_server server(server_root.root(), {h, f, t});

    // What fires now, and anything that fires at any time that no fault explains.
    std::vector<std::string> faults = {"VornConfigurationUnusable " + t + " -",
                                       "VornSupervisorSilent " + t + " -"};
    // Where the kernel refuses the supervisors their OOM protection (root
    // without CAP_SYS_RESOURCE), each device says so, and that alert fires
    // for each, the healthy one too.
    std::string oom;
    ASSERT_TRUE(wait_until([&] {
        return !(oom = sample(healthy.node->metrics(), "vorn_restart_oom_protected", {})).empty();
    })) << healthy.node->metrics();
    const std::string unprotected = "VornSupervisorUnprotected ";
    if (oom == "0")
        for (const std::string& device : {h, f, t}) faults.push_back(unprotected + device + " -");
    for (const std::string& name : {quitter, missing, crasher})
        for (const char* alert : {"VornTaskRestarting ", "VornTaskDown "})
            faults.push_back(alert + f + " " + name);
    std::string unexplained;
    const auto firing = [&](const std::string& alert) {
        bool found = false;
        for (const std::string& a : server.alerts()) {
            if (!a.ends_with(" firing")) continue;
            const std::string key = a.substr(0, a.size() - 7);
            found = found || key == alert;
            if (std::find(faults.begin(), faults.end(), key) == faults.end() &&
                unexplained.find(a) == std::string::npos)
                unexplained += a + "\n";
        }
        return found;
    };
    std::string took;
    const auto within = [&](const std::string& alert, std::chrono::seconds bound,
                            std::chrono::steady_clock::time_point from) {
        EXPECT_TRUE(wait_until([&] { return firing(alert); }, bound, 200ms))
            << alert << " within " << bound.count() << " s\n"
            << read_file(server_root.root() + "/prometheus.log");
        took += alert.substr(0, alert.find(' ')) + " " +
                std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - from)
                                   .count()) +
                " ms; ";
    };
    const auto resolved = [&](const std::string& alert) {
        EXPECT_TRUE(wait_until([&] { return !firing(alert); }, 30s, 200ms)) << alert;
    };

    // Unusable from its start; then a usable file, read within a wait.
    within("VornConfigurationUnusable " + t + " -", 30s, started);
    turned.inst.task("vorn_update", long_running);
    turned.inst.config(tasks_json({}));
    resolved("VornConfigurationUnusable " + t + " -");
    // Down for "5 minutes" (15 s here), and restarting.
    for (const std::string& name : {quitter, missing, crasher}) {
        within("VornTaskRestarting " + f + " " + name, 30s, started);
        within("VornTaskDown " + f + " " + name, 45s, started);
    }
    // Stopped, going on again, then killed with its namespace.
    const pid_t stopped = turned.supervisor_pid();
    ASSERT_GT(stopped, 0);
    ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
    within("VornSupervisorSilent " + t + " -", 30s, std::chrono::steady_clock::now());
    ASSERT_EQ(::kill(stopped, SIGCONT), 0);
    resolved("VornSupervisorSilent " + t + " -");
    ASSERT_EQ(::kill(stopped, SIGKILL), 0);
    within("VornSupervisorSilent " + t + " -", 30s, std::chrono::steady_clock::now());
    if (oom == "0")
        for (const std::string& device : {h, f}) within(unprotected + device + " -", 30s, started);
    std::printf("fault to firing: %s\n", took.c_str());

    firing("");
    EXPECT_EQ(unexplained, "");
    // The healthy device was never so much as pending at the end, but for
    // the protection this machine refuses.
    for (const std::string& a : server.alerts())
        EXPECT_TRUE(a.find(" " + h + " ") == std::string::npos ||
                    (oom == "0" && a.starts_with(unprotected)))
            << a;
    EXPECT_EQ(healthy.sup->running(), true);
}

}  // namespace
}  // namespace vorn::e2e
