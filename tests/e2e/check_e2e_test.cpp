// The real configuration checker on temporary installations.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

namespace fs = std::filesystem;

program_result check(const installation& inst, std::vector<std::string> args) {
    args.insert(args.begin(), VORN_CHECK_BINARY);
    return run_on_clock(inst, args, {}, inst.killall_log());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The report without the kill listing, which depends on what runs on the machine.
std::string report_of(const std::string& out) {
    return out.substr(0, out.find("the next turn kills by name:\n"));
}

// Every file under the root with its size and modification time.
std::string snapshot(const std::string& root) {
    std::ostringstream list;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        list << entry.path().string();
        if (entry.is_regular_file())
            list << ' ' << entry.file_size() << ' '
                 << entry.last_write_time().time_since_epoch().count();
        list << '\n';
    }
    return list.str();
}

TEST(check_e2e, usable_configuration_is_reported_and_nothing_is_touched) {
    installation inst;
    const std::string worker = unique_name("worker");
    inst.task("vorn_update", "exit 0");
    inst.task("vorn_monitor", "exit 0");
    inst.task(worker, "exit 0");
    inst.write(inst.sbin() + "vorn_update.tmp", "#!/bin/sh\n", true);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" +
                worker + R"(", "argument": ["-v", "two words", "it's"]},
        {"name": "absent", "mode": "once"}, {"name": "idle", "mode": "none"}]})");
    const std::string before = snapshot(inst.root());

    const program_result r =
        check(inst, {"-d", "--install_path=" + inst.root(), "--cache_path=" + inst.cache()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string root = inst.root() + "/";
    const std::string settings = " --install_path=" + root + " --cache_path=" + inst.cache() + "/";
    EXPECT_EQ(
        r.out.rfind(inst.config_file() + ": usable\ntask_info_size: 7\n\nstdout_stderr_fd: 0\n", 0),
        0u)
        << r.out;
    const std::string slots = report_of(r.out.substr(r.out.find("#####\n") + 6));
    EXPECT_EQ(slots,
              "slot 0: vorn_update, mode always, system 1\n"
              "  command line: " +
                  inst.sbin() + "vorn_update" + settings +
                  "\n"
                  "  executable: yes\n"
                  "  held back: no (no marker applies)\n"
                  "slot 1: vorn_monitor, mode always, system 1\n"
                  "  command line: " +
                  inst.sbin() + "vorn_monitor" + settings +
                  "\n"
                  "  executable: yes\n"
                  "  held back: no (no marker applies)\n"
                  "slot 2: " +
                  worker +
                  ", mode always, system 0\n"
                  "  command line: " +
                  inst.sbin() + worker + " -v 'two words' 'it'\\''s'" + settings +
                  "\n"
                  "  executable: yes\n"
                  "  held back: no (markers: /tmp/." +
                  worker +
                  ".nr)\n"
                  "slot 3: absent, mode once, system 0\n"
                  "  command line: " +
                  inst.sbin() + "absent" + settings +
                  "\n"
                  "  executable: no, " +
                  inst.sbin() +
                  "absent does not exist\n"
                  "  held back: no (markers: /tmp/.absent.nr)\n"
                  "slot 4: idle, mode none: never started\n"
                  "pending updater: " +
                  inst.sbin() + "vorn_update.tmp replaces " + inst.sbin() +
                  "vorn_update when the supervisor starts\n"
                  "1 of 4 tasks cannot start: their executables are missing (" +
                  inst.sbin() + "absent)\n");

    // Nothing killed, started, renamed or written.
    EXPECT_FALSE(fs::exists(inst.killall_log()));
    EXPECT_TRUE(inst.starts(worker).empty());
    EXPECT_TRUE(inst.starts("vorn_update").empty());
    EXPECT_EQ(snapshot(inst.root()), before);
}

TEST(check_e2e, printed_command_line_runs_the_task_as_the_supervisor_would) {
    installation inst;
    const std::string worker = unique_name("worker");
    inst.task(worker, "exit 0");
    inst.config(
        R"({"tasks": [{"name": ")" + worker +
        R"(", "system": 0, "argument": ["a b", "$HOME", "*", "q'uote", "\"", "--cp=7"]}]})");
    const program_result r = check(inst, {"--install_path=" + inst.root()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string key = "  command line: ";
    const std::size_t at = r.out.find(key);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string command =
        r.out.substr(at + key.size(), r.out.find('\n', at) - at - key.size());
    const program_result ran = run_program({"/bin/sh", "-c", command});
    EXPECT_EQ(ran.status, 0) << ran.err;
    const std::vector<std::string> starts = inst.starts(worker);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].substr(starts[0].find(' ')),
              " a b $HOME * q'uote \" --cp=7 --install_path=" + inst.root() + "/");
    EXPECT_NE(
        r.out.find("held back: no (markers: /tmp/." + worker + ".nr /tmp/.vorn_update_c7.nr)\n"),
        std::string::npos)
        << r.out;
}

TEST(check_e2e, marker_that_holds_a_task_back_is_named) {
    installation inst;
    const std::string worker = unique_name("worker");
    const std::string marker = "/tmp/." + worker + ".nr";
    inst.task(worker, "exit 0");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" +
                worker + R"("}]})");
    ::close(::open(marker.c_str(), O_WRONLY | O_CREAT, 0644));
    const program_result held = check(inst, {"--install_path=" + inst.root()});
    ::unlink(marker.c_str());
    const program_result free = check(inst, {"--install_path=" + inst.root()});
    EXPECT_EQ(held.status, 0);
    EXPECT_NE(held.out.find("  held back: yes, by " + marker + "\n"), std::string::npos)
        << held.out;
    EXPECT_NE(free.out.find("  held back: no (markers: " + marker + ")\n"), std::string::npos)
        << free.out;
    EXPECT_EQ(held.out.find(" not run: "), std::string::npos)
        << "the supervisor's line is not printed";
}

TEST(check_e2e, unusable_configuration_gives_two_lines_and_status_1) {
    installation inst;
    const std::string file = inst.config_file();
    struct {
        const char* title;
        std::string json;  // empty: no file
        std::string second_line;
    } cases[] = {
        {"missing file", "", "cannot open " + file + ": No such file or directory"},
        {"syntax error", "{\"tasks\": [\n  {\"name\": \"a\",}]}",
         file + ": line 2, column 16: string or '}' expected near '}'"},
        {"not an object", R"([1])", "the document is an array, not an object"},
        {"a NUL byte hides the rest",
         std::string("{\"tasks\":[{\"name\":\"worker\",\"argument\":[\"a\"]}]}\0{garbage", 55),
         file + ": line 1, column 47: a NUL byte, which a text file does not hold"},
        {"tasks not an array", R"({"tasks": {"name": "a"}})", "\"tasks\" is not an array"},
        {"missing name", R"({"tasks": [{"name": "a"}, {"mode": "once"}]})",
         "tasks[1]: \"name\" is missing"},
        {"name too long", R"({"tasks": [{"name": ")" + std::string(64, 'n') + R"("}]})",
         "tasks[0]: \"name\" has 64 bytes, at most 63 fit"},
        {"argument not a string",
         R"({"tasks": [{"name": "w"}, {"name": "v", "argument": ["-v", 3]}]})",
         "tasks[1] (\"v\"): \"argument\" element 1 is not a string"},
        {"too many tasks",
         [] {
             std::string json = R"({"tasks": [)";
             for (int i = 0; i < 17; ++i) json += std::string(i ? "," : "") + R"({"name": "t"})";
             return json + "]}";
         }(),
         "tasks[16]: more than 16 tasks: the table has 16 slots"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ::unlink(file.c_str());
        if (!c.json.empty()) inst.config(c.json);
        const program_result r = check(inst, {"--install_path=" + inst.root()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(lines_of(report_of(r.out)),
                  (std::vector<std::string>{file + ": unusable, no task would be started",
                                            c.second_line}));
    }
    EXPECT_FALSE(fs::exists(inst.killall_log()));
}

TEST(check_e2e, usage_errors_give_a_reason_and_status_2) {
    installation inst;
    inst.config(R"({"tasks": []})");
    fs::create_directories(inst.root() + "/bare");
    const std::string long_cache = inst.root() + "/" + std::string(126, 'c');
    fs::create_directories(long_cache);
    struct {
        const char* title;
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {"root missing",
         {"--install_path=" + inst.root() + "/nope"},
         "vorn_restart_check: --install_path=" + inst.root() + "/nope: " + inst.root() +
             "/nope/ does not exist\n"},
        {"configuration directory missing",
         {"--install_path", inst.root() + "/bare"},
         "vorn_restart_check: --install_path=" + inst.root() + "/bare: " + inst.root() +
             "/bare/etc/vorn/vorn_restart/ does not exist\n"},
        {"root too long",
         {"--install_path=/" + std::string(104, 'r')},
         "vorn_restart_check: --install_path: value too long (at most 104 bytes, not counting a "
         "final /)\n"},
        {"cache path too long",
         {"--cache_path=" + long_cache},
         "vorn_restart_check: --cache_path: value too long (at most 126 bytes, not counting a "
         "final /)\n"},
        {"unknown option", {"--bogus"}, "unrecognized option '--bogus'\n"},
        {"missing value", {"--install_path"}, "option '--install_path' requires an argument\n"},
        {"two files",
         {"a.conf", "b.conf"},
         "vorn_restart_check: more than one configuration file given\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const program_result r = check(inst, c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Usage: vorn_restart_check "), std::string::npos) << r.err;
    }
    const program_result help = check(inst, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("vorn_restart_check: checks the configuration", 0), 0u) << help.out;
}

TEST(check_e2e, file_on_the_command_line_replaces_the_installed_one) {
    installation inst;
    inst.config("not json");
    const std::string other = inst.root() + "/candidate.conf";
    inst.write(other, R"({"tasks": [{"name": "candidate"}]})");
    const program_result r = check(inst, {other, "--install_path=" + inst.root()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind(other + ": usable\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("slot 0: candidate, mode always, system 1\n  command line: " +
                         inst.sbin() + "candidate "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(check(inst, {"--install_path=" + inst.root()}).status, 1);
}

TEST(check_e2e, shipped_configurations_are_usable) {
    installation inst;
    const program_result example =
        check(inst, {"--install_path=" + inst.root(), VORN_CONF_EXAMPLE});
    EXPECT_EQ(example.status, 0) << example.out;
    EXPECT_NE(example.out.find("slot 3: report, mode once, system 0\n"), std::string::npos)
        << example.out;
    const std::string sbin = inst.sbin();
    EXPECT_TRUE(report_of(example.out)
                    .ends_with("\n4 of 4 tasks cannot start: their executables are missing (" +
                               sbin + "vorn_update, " + sbin + "vorn_monitor, " + sbin +
                               "worker, " + sbin + "report)\n"))
        << example.out;
    const program_result demo = check(inst, {"--install_path=" VORN_EXAMPLES});
    EXPECT_EQ(demo.status, 0) << demo.out;
    EXPECT_NE(demo.out.find("/usr/sbin/demo_variant --cp=2 --install_path="), std::string::npos)
        << demo.out;
    EXPECT_EQ(count_of(demo.out, "  executable: yes\n"), 4u) << demo.out;
    EXPECT_EQ(demo.out.find("cannot start"), std::string::npos) << demo.out;
}

TEST(check_e2e, kill_listing_finds_the_supervisors_task_on_real_proc) {
    installation inst;
    // Longer than the 15 bytes the kernel keeps: killall compares the command line.
    const std::string worker = unique_name("long_named_worker");
    inst.task(worker, "sleep 1000");
    inst.config(R"({"tasks": [{"name": ")" + worker + R"("}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return !inst.start_pids(worker).empty(); }));
    const program_result r = check(inst, {"--install_path=" + inst.root()});
    // Its parent from the real /proc/<pid>/stat, its executable (the shell) from /proc/<pid>/exe.
    EXPECT_NE(r.out.find("  " + worker + ": pid " + std::to_string(inst.start_pids(worker)[0]) +
                         ", " + fs::canonical("/bin/sh").string() + ", parent " +
                         std::to_string(sup.pid()) + "\n"),
              std::string::npos)
        << r.out;
}

// The rows of a --status table.
std::vector<std::string> table_rows(const std::string& out) {
    std::vector<std::string> rows;
    bool table = false;
    for (const std::string& line : lines_of(out)) {
        if (line.starts_with("slot  name "))
            table = true;
        else if (table && !line.empty() && std::isdigit(static_cast<unsigned char>(line[0])))
            rows.push_back(line);
        else
            table = false;
    }
    return rows;
}

// The state column of a --status table, row by row.
std::vector<std::string> table_states(const std::string& out) {
    std::vector<std::string> states;
    for (const std::string& line : table_rows(out)) {
        std::istringstream row(line);
        std::string slot, name, state;
        row >> slot >> name >> state;
        states.push_back(state);
    }
    return states;
}

std::vector<std::string> json_states(const std::string& out) {
    std::vector<std::string> states;
    json_t* view = json_loads(out.c_str(), 0, nullptr);
    const json_t* slots = json_object_get(view, "slots");
    for (std::size_t i = 0; i < json_array_size(slots); ++i) {
        const char* state = json_string_value(json_object_get(json_array_get(slots, i), "state"));
        states.emplace_back(state ? state : "?");
    }
    EXPECT_NE(view, nullptr) << out;
    json_decref(view);
    return states;
}

program_result status_of(const installation& inst, const std::string& path) {
    return check(inst, {"--install_path=" + inst.root(), "--status", "--status_path=" + path});
}

// --status, and --status --json of the same moment: whenever the text
// reports before and after the JSON one agree row for row (nothing changed
// meanwhile: every start counts in "starts"), the JSON view must show the
// same states and the same exit status.  Each scenario asks it once, where
// its picture holds still; polling loops ask status_of alone.
program_result status_agreeing(const installation& inst, const std::string& path) {
    const std::vector<std::string> args = {"--install_path=" + inst.root(), "--status",
                                           "--status_path=" + path};
    std::vector<std::string> json_args = args;
    json_args.push_back("--json");
    program_result after;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const program_result before = check(inst, args);
        const program_result json = check(inst, json_args);
        after = check(inst, args);
        if (before.status != after.status || table_rows(before.out) != table_rows(after.out))
            continue;
        EXPECT_EQ(json.status, after.status) << json.out << after.out;
        EXPECT_EQ(json_states(json.out), table_states(after.out)) << json.out << after.out;
        break;
    }
    return after;
}

// A task that cannot even be executed ends within a millisecond and waits
// passes for its reap.  Whenever its process is already dead before the
// checker is asked, the checker must not call it running nor answer 0.
// (A process just forked and not yet failed is running, and may be called so.)
TEST(check_e2e, status_never_calls_a_dead_task_running) {
    installation inst;
    const std::string missing = unique_name("missing");
    inst.task("vorn_update", "exec sleep 1000");
    inst.task("vorn_monitor", "exec sleep 1000");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                missing + R"("}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return fs::exists(inst.status_file()); }));
    const std::regex recorded("\"name\":\"" + missing + "\",[^}]*\"pid\":([0-9]+)");
    int dead_before = 0;
    for (int i = 0; i < 40; ++i) {
        std::smatch m;
        const std::string document = read_file(inst.status_file());
        const bool known = std::regex_search(document, m, recorded);
        const std::string pid = known ? m[1].str() : "";
        const char state = known ? process_state(std::stoi(pid)) : 'R';
        const program_result r = status_of(inst, inst.status_file());
        EXPECT_EQ(r.status == 0 || r.status == 1, true) << r.out << r.err;
        std::smatch row;
        const bool still = std::regex_search(
            r.out, row, std::regex("\\n2 +" + missing + " +([a-z_]+) +" + pid + " "));
        // Whatever the moment, a line about the task names its cause.
        const std::size_t why = r.out.find("slot 2, " + missing + ": ");
        if (why != std::string::npos) {
            const std::string line = r.out.substr(why, r.out.find('\n', why) - why);
            EXPECT_NE(line.find("/" + missing + " is missing"), std::string::npos) << r.out;
        }
        if ((state == 'Z' || state == 0) && still) {
            // The file the checker read still named the dead process.
            ++dead_before;
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_NE(row[1], "running") << r.out;
        }
        std::this_thread::sleep_for(7ms);
    }
    EXPECT_GT(dead_before, 0);
    status_agreeing(inst, inst.status_file());
}

// What a task's unit uses, how it is followed, and what an earlier run left
// behind in its cgroup after it ended by itself: named by --status, in
// words and in the JSON view.
TEST(check_e2e, status_shows_each_units_usage_and_what_earlier_runs_left) {
    if (::geteuid() != 0 || cgroup2_mount().empty())
        GTEST_SKIP() << "task cgroups need root and a cgroup2 file system";
    installation inst;
    const std::string leaver = unique_name("leaver");
    inst.task("vorn_update", "exec sleep 1000");
    inst.task("vorn_monitor", "exec sleep 1000");
    inst.task(leaver, "sleep 1000 & echo $! > " + inst.root() + "/left; exit 0");
    // A helper of the running child's own: started by this run, not left by an earlier one.
    const std::string keeper = unique_name("keeper");
    inst.task(keeper, "sleep 1000 & echo $! > " + inst.root() + "/kept; exec sleep 999");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                              {"name": ")" +
                leaver + R"(", "mode": "once"}, {"name": ")" + keeper + R"("}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] {
        return status_state(inst, leaver) == "ended" && !read_file(inst.root() + "/kept").empty();
    })) << sup.err();
    const std::string left = read_file(inst.root() + "/left");
    const program_result r = status_of(inst, inst.status_file());
    EXPECT_NE(r.out.find("1 process left by earlier runs of " + leaver + ": " +
                         left.substr(0, left.find('\n')) + " sleep"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("unit of vorn_monitor: cgroup /[^,]*/vorn_monitor, cpu [0-9.]+ s, "
                          "memory [0-9.]+ MB")))
        << r.out;
    EXPECT_EQ(r.out.find("left by earlier runs of " + keeper), std::string::npos) << r.out;
    const program_result json = check(inst, {"--install_path=" + inst.root(), "--status", "--json",
                                             "--status_path=" + inst.status_file()});
    EXPECT_NE(json.out.find("\"unit_now\""), std::string::npos) << json.out;
}

// A task that keeps failing: its last words, escaped, under its line in
// --status; raw, both generations in order, with --log.
TEST(check_e2e, a_failing_tasks_last_words_are_shown) {
    installation inst;
    const std::string failing = unique_name("failing");
    inst.task("vorn_update", "exec sleep 1000");
    inst.task("vorn_monitor", "exec sleep 1000");
    inst.task(failing, "printf 'cannot bind port 80 \\033[31m\\n' >&2; exit 1");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                failing + R"("}]})");
    const std::string logs = inst.root() + "/tasks";
    supervisor sup(inst, {.extra_arguments = {"--log_path=" + logs}});
    ASSERT_TRUE(wait_until([&] { return inst.starts(failing).size() >= 3; }));
    program_result r;
    ASSERT_TRUE(wait_until([&] {
        r = status_of(inst, inst.status_file());
        return r.out.find("ended with code 1") != std::string::npos;
    })) << r.out;
    EXPECT_NE(r.out.find("    cannot bind port 80 \\033[31m\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\033'), std::string::npos);

    inst.write(logs + "/" + failing + ".log.1", "older 1\nolder 2\n");
    ::chmod((logs + "/" + failing + ".log.1").c_str(), 0640);
    r = check(inst, {"--status_path=" + inst.status_file(), "--log", failing, "--lines", "50"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("older 1\nolder 2\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("cannot bind port 80 \033[31m\n"), std::string::npos) << r.out;
    status_agreeing(inst, inst.status_file());
}

// A once task that leaves a child writing to its log after its end: pass
// after pass the log stays near its bound and its older generation within
// it, and --status warns of the writer that is not the task's child.
TEST(check_e2e, a_log_written_by_what_its_task_left_behind_keeps_its_bound) {
    installation inst;
    const std::string leaver = unique_name("leaver");
    const std::string orphan_file = inst.root() + "/orphan.pid";
    inst.task("vorn_update", "exec sleep 1000");
    inst.task("vorn_monitor", "exec sleep 1000");
    inst.task(leaver,
              "( while :; do echo 'a line of what the task left behind'; sleep 0.002; "
              "done ) & echo $! >" +
                  orphan_file + "; exit 0");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                leaver + R"(", "mode": "once"}]})");
    const std::string log = inst.root() + "/tasks/" + leaver + ".log";
    supervisor sup(
        inst, {.extra_arguments = {"--log_path=" + inst.root() + "/tasks", "--log_size=4096"}});
    ASSERT_TRUE(wait_until([&] { return read_file(orphan_file).ends_with("\n"); }));
    const pid_t orphan = std::stoi(read_file(orphan_file));
    const auto size = [](const std::string& path) {
        std::error_code error;
        const std::uintmax_t n = std::filesystem::file_size(path, error);
        return error ? 0 : n;
    };
    std::uintmax_t most = 0, most_older = 0;
    for (int sample = 0; sample < 300; ++sample) {
        most = std::max(most, size(log));
        most_older = std::max(most_older, size(log + ".1"));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(most_older, 0u);  // rotated
    EXPECT_LE(most_older, 4096u);
    EXPECT_LE(most, 2 * 4096u);  // the bound and a few passes of writing
    const program_result r = status_of(inst, inst.status_file());
    EXPECT_NE(
        r.out.find("warning: the log of " + leaver + " is written to by pid " +
                   std::to_string(orphan) + " (" + leaver + "), which is not its running child"),
        std::string::npos)
        << r.out;
    ::kill(orphan, SIGKILL);
}

// A supervisor that is stopped starts and reaps nothing: a killed task is
// not running, whatever the file last said.
TEST(check_e2e, status_of_a_stopped_supervisor_is_not_all_well) {
    installation inst;
    const std::string worker = unique_name("worker");
    for (const std::string& name :
         {std::string("vorn_update"), std::string("vorn_monitor"), worker})
        inst.task(name, "exec sleep 1000");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": ")" +
                worker + R"("}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return status_of(inst, inst.status_file()).status == 0; }));
    ASSERT_EQ(::kill(sup.pid(), SIGSTOP), 0);
    ASSERT_TRUE(wait_until([&] { return process_state(sup.pid()) == 'T'; }));
    ::kill(inst.start_pids(worker).back(), SIGKILL);
    ASSERT_TRUE(wait_until([&] { return process_state(inst.start_pids(worker).back()) == 'Z'; }));
    const program_result r = status_agreeing(inst, inst.status_file());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("vorn_restart is stopped (state T)"), std::string::npos) << r.out;
    EXPECT_NE(
        r.out.find("recorded as running as pid " + std::to_string(inst.start_pids(worker).back()) +
                   ", but that process has ended"),
        std::string::npos)
        << r.out;
    ::kill(sup.pid(), SIGCONT);
    EXPECT_TRUE(wait_until([&] { return status_of(inst, inst.status_file()).status == 0; }));
}

// Files that cannot be believed, and a supervisor that cannot publish.
TEST(check_e2e, status_that_cannot_be_known_says_why) {
    installation inst;
    inst.task("vorn_update", "exec sleep 1000");
    inst.task("vorn_monitor", "exec sleep 1000");
    inst.config(R"({"tasks": []})");
    const std::string nowhere = inst.root() + "/none/vorn_restart.status";
    supervisor sup(inst, {.extra_arguments = {"--status_path=" + nowhere}});
    ASSERT_TRUE(wait_until([&] { return !inst.start_pids("vorn_monitor").empty(); }));
    program_result r = status_agreeing(inst, nowhere);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("vorn_restart runs as pid " + std::to_string(sup.pid()) +
                         " but publishes no status at " + nowhere),
              std::string::npos)
        << r.out;

    // A copy of a real document, planted: as a link, as another user's
    // file, as a file anyone may write.
    supervisor other(inst);
    ASSERT_TRUE(wait_until([&] { return status_of(inst, inst.status_file()).status == 0; }));
    const std::string planted = inst.root() + "/planted";
    fs::copy_file(inst.status_file(), planted);
    const std::string link = inst.root() + "/link";
    fs::create_symlink(inst.status_file(), link);
    r = status_agreeing(inst, link);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find(link + " is a symbolic link: not trusted"), std::string::npos) << r.out;
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    r = status_of(inst, planted);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("is owned by user 65534"), std::string::npos) << r.out;
    ASSERT_EQ(::chown(planted.c_str(), 0, 0), 0);
    ::chmod(planted.c_str(), 0666);
    r = status_of(inst, planted);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("can be written by anyone"), std::string::npos) << r.out;
    // A copy keeps the content but not the pass mark.
    ::chmod(planted.c_str(), 0644);
    r = status_of(inst, planted);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("is not a pass mark"), std::string::npos) << r.out;
}

// A process running `program` with the words of argv (argv[0] included, as
// the test chooses it), its standard input a pipe that the test holds, so
// that a shell reading it waits.  Ended by its pid when the test ends.
class started_process {
public:
    started_process(const std::string& program, std::vector<std::string> words) {
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int in[2];
        if (::pipe(in) != 0) std::abort();
        pid_ = ::fork();
        if (pid_ < 0) std::abort();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::close(in[0]);
            ::close(in[1]);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        input_ = in[1];
    }
    ~started_process() {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        ::close(input_);
    }
    started_process(const started_process&) = delete;
    started_process& operator=(const started_process&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

// The pids the kill listing gives for a name.
std::set<pid_t> listed_pids(const std::string& out, const std::string& name) {
    std::set<pid_t> pids;
    const std::string key = "  " + name + ": pid ";
    const std::size_t listing = out.find("the next turn kills by name:\n");
    if (listing == std::string::npos) return pids;
    for (const std::string& line : lines_of(out.substr(listing)))
        if (line.rfind(key, 0) == 0) pids.insert(std::stoi(line.substr(key.size())));
    return pids;
}

// The pids the real killall signals for a name: with signal 0 it kills
// nothing, and -v names each process it signalled.
std::set<pid_t> killall_pids(const std::string& killall, const std::string& name) {
    const program_result r = run_program({killall, "-s", "0", "-v", "--", name}, {{"LC_ALL", "C"}});
    std::set<pid_t> pids;
    const std::regex signalled(R"(\((\d+)\) with signal 0$)");
    for (const std::string& line : lines_of(r.err)) {
        std::smatch m;
        if (std::regex_search(line, m, signalled)) pids.insert(std::stoi(m[1].str()));
    }
    return pids;
}

TEST(check_e2e, kill_listing_agrees_with_killall_however_long_the_command_line) {
    std::string killall;
    for (const char* path : {"/usr/bin/killall", "/bin/killall"})
        if (killall.empty() && ::access(path, X_OK) == 0) killall = path;
    if (killall.empty()) GTEST_SKIP() << "psmisc's killall is not installed";
    installation inst;
    // The program is the shell under a name of more than 15 bytes: the kernel
    // keeps its first 15 as the process name, and killall then looks through
    // the command line for a word whose base name begins with them.
    const std::string name = unique_name("c") + "_long_command_word";
    const std::string comm = name.substr(0, 15);
    const std::string other = name + "_other";
    const std::string program = inst.root() + "/" + name;
    fs::create_symlink("/bin/sh", program);
    inst.config(R"({"tasks": [{"name": ")" + name + R"("}, {"name": ")" + other +
                R"("}, {"name": ")" + comm + R"("}]})");
    // sh <filler> -c 'read x' <word>: the word, $0 of the script, lies where
    // the filler puts it: across byte 4,096, past 64 KiB, or nowhere.
    const auto shell = [&](std::size_t filler, const std::string& word) {
        std::vector<std::string> argv{std::string(filler, 'f'), "-c", "read x"};
        if (!word.empty()) argv.push_back(word);
        return argv;
    };
    started_process across_4k(program, shell(4096 - 20 - 11, name));
    started_process past_64k(program, shell(70000, name));
    started_process too_long(program, shell(5000, name + std::string(300, 'y')));
    started_process no_word(program, shell(70000, ""));
    for (const started_process* p : {&across_4k, &past_64k, &too_long, &no_word})
        ASSERT_TRUE(wait_until([&] {
            return read_file("/proc/" + std::to_string(p->pid()) + "/comm") == comm + "\n";
        }));

    const program_result r = check(inst, {"--install_path=" + inst.root()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::map<std::string, std::set<pid_t>> expected = {
        {name, {across_4k.pid(), past_64k.pid(), no_word.pid()}},
        {other, {no_word.pid()}},
        {comm, {no_word.pid()}},
    };
    for (const auto& [task, pids] : expected) {
        SCOPED_TRACE(task);
        const std::set<pid_t> reached = killall_pids(killall, task);
        EXPECT_EQ(listed_pids(r.out, task), reached) << r.out;
        EXPECT_EQ(reached, pids);
    }
}

}  // namespace
}  // namespace vorn::e2e
