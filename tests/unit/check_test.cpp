#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "base/messages.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/ctl.hpp"
#include "check/report.hpp"
#include "check/run.hpp"
#include "check/shell_quote.hpp"
#include "check/status.hpp"
#include "check/status_read.hpp"
#include "check/task_log.hpp"
#include "fake_system.hpp"
#include "temp_dir.hpp"

namespace vorn {
namespace {

using testing::fake_files;
using testing::fake_system;
using namespace std::string_literals;
using testing::temp_dir;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
// The command line looks at real directories.
class check_test : public testing::supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        check_line = check_command{};
        sys.path_exists = real_system_ops.path_exists;
    }
};

// Runs read_check_command_line on a command line given as strings.
void read_line(std::vector<std::string> args) {
    args.insert(args.begin(), "vorn_restart_check");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    CaptureStderr();  // getopt_long's complaints
    read_check_command_line(static_cast<int>(args.size()), argv.data());
    GetCapturedStderr();
    // They point into args: keep copies that outlive this call.
    static std::string file, cache, log;
    if (check_line.log_name) {
        log = check_line.log_name;
        check_line.log_name = log.c_str();
    }
    if (check_line.config_file) {
        file = check_line.config_file;
        check_line.config_file = file.c_str();
    }
    if (check_line.ignored_cache_path) {
        cache = check_line.ignored_cache_path;
        check_line.ignored_cache_path = cache.c_str();
    }
}

TEST(check_quote, words_a_shell_reads_back_as_they_are) {
    const struct {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"/usr/sbin/worker", "/usr/sbin/worker"},
        {"--install_path=/opt/x/", "--install_path=/opt/x/"},
        {"a,b:c@d%e+f", "a,b:c@d%e+f"},
        {"", "''"},
        {"two words", "'two words'"},
        {"$HOME", "'$HOME'"},
        {"*", "'*'"},
        {"it's", "'it'\\''s'"},
        {"'", "''\\'''"},
        {"tab\there", "$'tab\\there'"},
        {"w\nslot 9: fake", "$'w\\nslot 9: fake'"},
        {"\x1b[31mred's", "$'\\033[31mred\\'s'"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'"},        // UTF-8 prints as it is
        {"\xff\xc2\x9b", "$'\\377\\302\\233'"},  // not UTF-8; a C1 control
        {"back\\slash", "'back\\slash'"},
        {"~user", "'~user'"},
        // Characters that reorder or hide text, at the ends of each range.
        {"a\xe2\x80\x8b-z", "$'a\\342\\200\\213-z'"},          // U+200B
        {"\xe2\x80\x8f", "$'\\342\\200\\217'"},                // U+200F
        {"\xe2\x80\xaa", "$'\\342\\200\\252'"},                // U+202A
        {"x\xe2\x80\xaeTXT.sh", "$'x\\342\\200\\256TXT.sh'"},  // U+202E
        {"\xe2\x81\xa6", "$'\\342\\201\\246'"},                // U+2066
        {"\xe2\x81\xa9", "$'\\342\\201\\251'"},                // U+2069
        {"\xef\xbb\xbfw", "$'\\357\\273\\277w'"},              // U+FEFF
        {"\xd8\x9c", "$'\\330\\234'"},                         // U+061C
        // Characters next to the ranges (U+200A, U+2010, U+202F, U+2070) print as they are.
        {"\xe2\x80\x8a\xe2\x80\x90\xe2\x80\xaf\xe2\x81\xb0",
         "'\xe2\x80\x8a\xe2\x80\x90\xe2\x80\xaf\xe2\x81\xb0'"},
    };
    for (const auto& c : cases) {
        std::array<char, 64> buf{};
        EXPECT_TRUE(quote_for_shell(buf.data(), buf.size(), c.text)) << c.text;
        EXPECT_STREQ(buf.data(), c.quoted);
    }
    std::array<char, 5> small{};
    EXPECT_TRUE(quote_for_shell(small.data(), small.size(), "abcd"));
    EXPECT_FALSE(quote_for_shell(small.data(), small.size(), "abcde"));
    EXPECT_STREQ(small.data(), "");
    EXPECT_FALSE(quote_for_shell(small.data(), small.size(), "a b"));  // 'a b' needs 6 bytes
    EXPECT_STREQ(small.data(), "");
}

TEST(check_quote, display_escapes_what_must_not_reach_the_terminal_raw) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"worker it's", "worker it's"},
        {"back\\slash\n\x1b[2J", "back\\\\slash\\n\\033[2J"},
        {"caf\xc3\xa9\xc2\x9b", "caf\xc3\xa9\\302\\233"},
        {"a\xe2\x80\x8b-\xe2\x80\x8f", "a\\342\\200\\213-\\342\\200\\217"},  // U+200B, U+200F
        {"\xe2\x80\xaa\xe2\x80\xae", "\\342\\200\\252\\342\\200\\256"},      // U+202A, U+202E
        {"\xe2\x81\xa6\xe2\x81\xa9", "\\342\\201\\246\\342\\201\\251"},      // U+2066, U+2069
        {"\xef\xbb\xbf\xd8\x9c", "\\357\\273\\277\\330\\234"},               // U+FEFF, U+061C
        {"\xe2\x80\x8a\xe2\x80\x90\xe2\x80\xaf\xe2\x81\xb0",
         "\xe2\x80\x8a\xe2\x80\x90\xe2\x80\xaf\xe2\x81\xb0"},
    };
    for (const auto& c : cases) {
        std::array<char, 64> buf{};
        EXPECT_TRUE(escape_for_display(buf.data(), buf.size(), c.text)) << c.text;
        EXPECT_STREQ(buf.data(), c.shown);
        EXPECT_STREQ(shown(c.text), c.shown);
    }
}

TEST(check_quote, command_line_joins_quoted_words) {
    child_argv argv{};
    char a0[] = "/s/w", a1[] = "-v", a2[] = "x y";
    argv[0] = a0;
    argv[1] = a1;
    argv[2] = a2;
    std::array<char, 64> buf{};
    EXPECT_TRUE(format_command_line(buf.data(), buf.size(), argv, 3));
    EXPECT_STREQ(buf.data(), "/s/w -v 'x y'");
    EXPECT_TRUE(format_command_line(buf.data(), buf.size(), argv, 1));
    EXPECT_STREQ(buf.data(), "/s/w");
    EXPECT_FALSE(format_command_line(buf.data(), 12, argv, 3));
    EXPECT_STREQ(buf.data(), "");
}

TEST(check_executable, metadata_decides) {
    temp_dir dir;
    dir.write("plain", "x");
    dir.write("runnable", "#!/bin/sh\n");
    ::chmod((dir / "runnable").c_str(), 0755);
    dir.make_dirs("folder");
    ::mkfifo((dir / "fifo").c_str(), 0755);
    const struct {
        std::string path;
        executable_state state;
    } cases[] = {
        {dir / "runnable", executable_state::yes},
        {dir / "absent", executable_state::missing},
        {dir / "plain/below", executable_state::missing},
        {dir / "folder", executable_state::directory},
        {dir / "fifo", executable_state::not_regular},
    };
    for (const auto& c : cases) EXPECT_EQ(examine_executable(c.path.c_str()), c.state) << c.path;
    // Root may execute anything with an execute bit: only none at all is "not executable".
    EXPECT_EQ(examine_executable((dir / "plain").c_str()), executable_state::not_executable);
}

TEST_F(check_test, command_line_follows_the_supervisor_rules) {
    temp_dir dir;
    const std::string root = dir.path();
    dir.make_dirs("usr/sbin");
    dir.make_dirs("etc/vorn/vorn_restart");
    dir.make_dirs("cache/.vorn");

    read_line({});
    EXPECT_EQ(check_line.request, check_request::check);
    EXPECT_EQ(check_line.config_file, nullptr);
    EXPECT_STREQ(install_path.data(), "/");
    EXPECT_STREQ(config_path.data(), "/etc/vorn/vorn_restart/");
    EXPECT_STREQ(sbin_path.data(), "/usr/sbin/");
    EXPECT_STREQ(cache_path.data(), "");

    read_line({"-d", "--inst", root, "--cache_path=" + root + "/cache/.vorn", "my.conf"});
    EXPECT_EQ(check_line.request, check_request::check) << check_line.error.data();
    EXPECT_STREQ(check_line.config_file, "my.conf");
    EXPECT_EQ(std::string(install_path.data()), root + "/");
    EXPECT_EQ(std::string(sbin_path.data()), root + "/usr/sbin/");
    EXPECT_EQ(std::string(config_path.data()), root + "/etc/vorn/vorn_restart/");
    EXPECT_EQ(std::string(cache_path.data()), root + "/cache/");  // "/.vorn" removed
    EXPECT_EQ(check_line.ignored_cache_path, nullptr);

    read_line({"--cache_path=" + root + "/nope"});
    EXPECT_EQ(check_line.request, check_request::check);
    EXPECT_STREQ(cache_path.data(), "");
    ASSERT_NE(check_line.ignored_cache_path, nullptr);
    EXPECT_EQ(std::string(check_line.ignored_cache_path), root + "/nope");
}

TEST_F(check_test, command_line_mistakes_are_recorded_not_fatal) {
    temp_dir dir;
    dir.make_dirs("etc/vorn/vorn_restart");  // no usr/sbin
    const std::string long_cache = dir.make_dirs(std::string(130, 'c'));
    const struct {
        std::vector<std::string> args;
        check_request request;
        std::string error;
    } cases[] = {
        {{"-h"}, check_request::help, ""},
        {{"--help", "--bogus"}, check_request::help, ""},
        {{"--bogus", "-?"}, check_request::usage_error, ""},
        {{"--install_path"}, check_request::usage_error, ""},
        {{"-x"}, check_request::usage_error, ""},
        {{"--install_path=" + dir.path()},
         check_request::usage_error,
         "--install_path=" + dir.path() + ": " + dir.path() + "/usr/sbin/ does not exist"},
        {{"--install_path=" + dir.path() + "/gone/", "--install_path=/"},
         check_request::usage_error,
         "--install_path=" + dir.path() + "/gone/: " + dir.path() + "/gone/ does not exist"},
        {{"--install_path=/" + std::string(104, 'r') + "/"},
         check_request::usage_error,
         "--install_path: value too long (at most 104 bytes, not counting a final /)"},
        {{"--cache_path=" + long_cache},
         check_request::usage_error,
         "--cache_path: value too long (at most 126 bytes, not counting a final /)"},
        {{"--cache_path=" + dir.path() + "/" + std::string(200, 'c')}, check_request::check, ""},
        {{"a", "b"}, check_request::usage_error, "more than one configuration file given"},
        {{"--json"}, check_request::usage_error, "--json goes with --status"},
        {{"--status", "--status_path=/" + std::string(251, 's')},
         check_request::usage_error,
         "--status_path: value too long (at most 251 bytes)"},
        {{"--lines=5"}, check_request::usage_error, "--lines goes with --log"},
        {{"--log", "w", "--lines=0"},
         check_request::usage_error,
         "--lines=0: give a number of lines from 1 to 10000"},
        {{"--log=w", "--lines", "10001"},
         check_request::usage_error,
         "--lines=10001: give a number of lines from 1 to 10000"},
        {{"--log=w", "--lines=99999999999999999999999"},
         check_request::usage_error,
         "--lines=99999999999999999999999: give a number of lines from 1 to 10000"},
        {{"--log", "../w"}, check_request::usage_error, "--log: the task name holds a '/'"},
        {{"--log", ".."}, check_request::usage_error, "--log: the task name is not a file name"},
        {{"--log=w", "--status"},
         check_request::usage_error,
         "--log and --status do not go together"},
        {{"--log_path=/" + std::string(127, 'l')},
         check_request::usage_error,
         "--log_path: value too long (at most 126 bytes, not counting a final /)"},
        {{"--log_size=4095"},
         check_request::usage_error,
         "--log_size=4095: give a number of bytes from 4096 to 1073741824"},
        {{"--watchdog=/" + std::string(127, 'w')},
         check_request::usage_error,
         "--watchdog: value too long (at most 127 bytes)"},
        {{"--metrics_path=/" + std::string(251, 'm')},
         check_request::usage_error,
         "--metrics_path: value too long (at most 251 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        read_line(c.args);
        EXPECT_EQ(check_line.request, c.request);
        EXPECT_EQ(std::string(check_line.error.data()), c.error);
    }
    // The longest values that fit are taken.
    read_line({"--cache_path=" + std::string(126, 'c') + "/"});
    EXPECT_EQ(check_line.request, check_request::check);
    read_line({"--log", "w", "--lines", "10000", "--log_path=/" + std::string(125, 'l'),
               "--log_size=4096", "--watchdog=/dev/watchdog", "--metrics_path=/run/v.prom"});
    EXPECT_EQ(check_line.request, check_request::check) << check_line.error.data();
    EXPECT_STREQ(check_line.log_name, "w");
    EXPECT_EQ(check_line.lines, 10000u);
    EXPECT_EQ(std::string(log_path.data()), "/" + std::string(125, 'l') + "/");
    read_line({"--log=w"});
    EXPECT_EQ(check_line.lines, default_log_lines);
    EXPECT_FALSE(check_line.log_path_given);
}

class check_report_test : public testing::supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        check_line = check_command{};
        copy_text(sbin_path, sbin_dir_.make_dirs("sbin") + "/");
        for (const char* name : {"vorn_update", "vorn_monitor", "w"}) {
            sbin_dir_.write(std::string("sbin/") + name, "#!/bin/sh\n");
            ::chmod((sbin_dir_ / (std::string("sbin/") + name)).c_str(), 0755);
        }
        sbin_ = sbin_path.data();
        fake_files::reset();
        fake_files::install();
    }

    std::string run(const char* file = nullptr) {
        CaptureStdout();
        status_ = check_configuration(file);
        return GetCapturedStdout();
    }

    temp_dir sbin_dir_;
    std::string sbin_;
    int status_ = -1;
};

TEST_F(check_report_test, usable_configuration_report_is_exact) {
    fake_system::file_text = R"({"tasks": [{"name": "vorn_update", "argument": ["--cp=2"]},
        {"name": "vorn_monitor"}, {"name": "w", "argument": ["a b"]}, {"name": "x", "mode": "none"}]})";
    fake_system::existing = {"/tmp/.vorn_update_c2.nr", sbin_ + "vorn_update.tmp"};
    EXPECT_EQ(run(),
              "/etc/vorn/vorn_restart/vorn_restart.conf: usable\n"
              "task_info_size: 6\n\nstdout_stderr_fd: 0\n\n"
              "task_info.task_system: 1, task_info.task_mode: 2, task_info.task_pid: 0, "
              "task_info.task_name: vorn_update, task_info.task_path: " +
                  sbin_ +
                  "vorn_update\n"
                  "argument: --cp=2 \n"
                  "task_info.task_system: 1, task_info.task_mode: 2, task_info.task_pid: 0, "
                  "task_info.task_name: vorn_monitor, task_info.task_path: " +
                  sbin_ +
                  "vorn_monitor\n"
                  "argument: \n"
                  "task_info.task_system: 0, task_info.task_mode: 2, task_info.task_pid: 0, "
                  "task_info.task_name: w, task_info.task_path: " +
                  sbin_ +
                  "w\n"
                  "argument: a b \n"
                  "task_info.task_system: 0, task_info.task_mode: 0, task_info.task_pid: 0, "
                  "task_info.task_name: x, task_info.task_path: " +
                  sbin_ +
                  "x\n"
                  "argument: \n"
                  "task_info.task_system: 0, task_info.task_mode: 0, task_info.task_pid: 0, "
                  "task_info.task_name: , task_info.task_path: \n"
                  "argument: \n"
                  "task_info.task_system: 0, task_info.task_mode: 0, task_info.task_pid: 0, "
                  "task_info.task_name: , task_info.task_path: \n"
                  "argument: \n"
                  "#################################################\n"
                  "slot 0: vorn_update, mode always, system 1\n"
                  "  command line: " +
                  sbin_ +
                  "vorn_update --cp=2 --install_path=/\n"
                  "  executable: yes\n"
                  "  held back: yes, by /tmp/.vorn_update_c2.nr\n"
                  "slot 1: vorn_monitor, mode always, system 1\n"
                  "  command line: " +
                  sbin_ +
                  "vorn_monitor --install_path=/\n"
                  "  executable: yes\n"
                  "  held back: no (no marker applies)\n"
                  "slot 2: w, mode always, system 0\n"
                  "  command line: " +
                  sbin_ +
                  "w 'a b' --install_path=/\n"
                  "  executable: yes\n"
                  "  held back: no (markers: /tmp/.w.nr)\n"
                  "slot 3: x, mode none: never started\n"
                  "pending updater: " +
                  sbin_ + "vorn_update.tmp replaces " + sbin_ +
                  "vorn_update when the supervisor starts\n"
                  "the next turn kills by name:\n  vorn_update: no process\n"
                  "  vorn_monitor: no process\n  w: no process\n  x: no process\n");
    EXPECT_EQ(status_, check_exit_usable);
}

TEST_F(check_report_test, arguments_cut_by_an_empty_one_are_named_and_names_shown_escaped) {
    fake_system::file_text =
        "{\"tasks\": [{\"name\": \"w\", \"argument\": [\"-a\", \"\", \"-b\"]}, "
        "{\"name\": \"e\\u001b[31m\", \"argument\": [\"x\\ny\", \"\"]}]}";
    const std::string out = run();
    EXPECT_EQ(status_, check_exit_usable);
    const std::string expected[] = {
        "warning: tasks[0] (\"w\"): \"argument\" element 1 is empty and ends the arguments; "
        "not passed: '' -b\n",
        "warning: tasks[1] (\"e\\033[31m\"): \"argument\" element 1 is empty and ends the "
        "arguments; not passed: ''\n",
        "task_info.task_name: e\\033[31m, task_info.task_path: " + sbin_ +
            "e\\033[31m\nargument: x\\ny \n",
        "slot 0: w, mode always, system 1\n  command line: " + sbin_ + "w -a --install_path=/\n",
        "slot 1: e\\033[31m, mode always, system 1\n  command line: $'" + sbin_ +
            "e\\033[31m' $'x\\ny' --install_path=/\n",
    };
    for (const std::string& line : expected)
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    for (char c : out) EXPECT_TRUE(c == '\n' || (c >= ' ' && c != 0x7f)) << static_cast<int>(c);
}

TEST_F(check_report_test, nothing_is_killed_started_or_read_elsewhere) {
    fake_system::file_text = R"({"tasks": [{"name": "w"}]})";
    const std::string out = run("/elsewhere/v.conf");
    EXPECT_EQ(status_, check_exit_usable);
    EXPECT_EQ(out.rfind("/elsewhere/v.conf: usable\n", 0), 0u) << out;
    EXPECT_EQ(fake_system::file_read, "/elsewhere/v.conf");
    EXPECT_TRUE(fake_system::killed_by_name.empty());
    EXPECT_TRUE(fake_system::forked.empty());
    EXPECT_TRUE(fake_system::killed.empty());
    EXPECT_EQ(fake_system::opened, 0);
    // The table in force before the check is back.
    EXPECT_EQ(sys.kill_by_name, fake_system::ops().kill_by_name);
    EXPECT_EQ(sys.fork_process, fake_system::ops().fork_process);
}

TEST_F(check_report_test, who_each_task_runs_as_and_why_a_refused_one_never_runs) {
    fake_system::file_text = R"({"tasks": [{"name": "w", "user": "www", "limits": {"memory":
        1048576, "core": "unlimited"}, "nice": 5, "Mode": 1}, {"name": "x", "user": "nobody",
        "capabilites": [], "nice": 1, "nice": 2, "comment\u001b": ""}]})";
    const std::string out = run();
    EXPECT_NE(out.find("warning: tasks[0] (\"w\"): \"Mode\" is no key of a task entry and is "
                       "ignored; the nearest is \"mode\"\n"
                       "fault: tasks[1] (\"x\"): \"capabilites\" is no key of a task entry: did "
                       "you mean \"capabilities\"? The task is refused\n"
                       "warning: tasks[1] (\"x\"): \"comment\\033\" is no key of a task entry and "
                       "is ignored; the nearest is \"argument\"\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("slot 0: w, mode always, system 1\n  command line: " + sbin_ +
                       "w --install_path=/\n  runs as: user www (uid 33, gid 33, groups 33 4)\n"
                       "  limits: memory 1048576, core unlimited, nice 5\n  executable: yes\n"),
              std::string::npos)
        << out;
    const std::string reason = "\"nice\" is given 2 times: the entry must say it once";
    EXPECT_NE(out.find("  refused: " + reason + " (never started)\n"), std::string::npos);
    EXPECT_NE(out.find("1 of 2 tasks are refused and never start: x (" + reason +
                       ")\nthe next turn kills by name:"),
              std::string::npos)
        << out;
    EXPECT_EQ(status_, check_exit_unusable);
}

TEST_F(check_report_test, unusable_configuration_gives_two_lines) {
    const struct {
        std::string json;
        std::string second;
    } cases[] = {
        {R"({"tasks": [{"name": "a"}, {"name": "vorn_restart"}]})",
         R"(tasks[1] ("vorn_restart"): "name" is the supervisor's own process name: killing stale copies of the task would kill the supervisor at every turn)"},
        // Nothing from the file reaches the terminal raw.
        {"{\"tasks\": [{\"name\": \"w\\nslot 9: fake\\u001b[2J\", \"argument\": [1]}]}",
         R"(tasks[0] ("w\nslot 9: fake\033[2J"): "argument" element 0 is not a string)"},
        {"{\"tasks\": [\u0007]}",
         R"(/etc/vorn/vorn_restart/vorn_restart.conf: line 1, column 12: invalid token near '\007')"},
        {R"({"tasks": [{"name": "a", "argument": "x"}, {"system": 1}]})",
         R"(tasks[1]: "name" is missing)"},
        {R"({"tasks": [{"name": ""}]})", R"(tasks[0]: "name" is empty)"},
        {R"({"tasks": 3})", R"("tasks" is not an array)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        fake_system::file_text = c.json;
        const std::string out = run();
        EXPECT_EQ(out.substr(0, out.find("the next turn kills by name:\n")),
                  "/etc/vorn/vorn_restart/vorn_restart.conf: unusable, no task would be started\n" +
                      c.second + "\n");
        EXPECT_EQ(status_, check_exit_unusable);
    }
    // The names killed before the fault, and no other.
    fake_system::file_text = cases[0].json;
    EXPECT_TRUE(
        run().ends_with("by name:\n  vorn_update: no process\n"
                        "  vorn_monitor: no process\n  a: no process\n"));
    fake_system::file_present = false;
    CaptureStderr();
    EXPECT_EQ(run("/x.conf"),
              "/x.conf: unusable, no task would be started\n"
              "cannot open /x.conf: No such file or directory\n"
              "the next turn kills by name:\n  vorn_update: no process\n"
              "  vorn_monitor: no process\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(fake_system::killed_by_name.empty());
}

// --status: an installation, a status file and processes in the fake; the
// boot clock stands at 300000 s, the supervisor is pid 812, started at tick 7000.
class check_status_test : public check_report_test {
protected:
    void SetUp() override {
        check_report_test::SetUp();
        root_ = sbin_dir_.path();
        sbin_dir_.make_dirs("etc/vorn/vorn_restart");
        sbin_dir_.make_dirs("usr/sbin");
        for (const char* name : {"vorn_update", "vorn_monitor", "w"}) {
            sbin_dir_.write(std::string("usr/sbin/") + name, "#!/bin/sh\n");
            ::chmod((sbin_dir_ / (std::string("usr/sbin/") + name)).c_str(), 0755);
        }
        fake_system::existing = {root_ + "/", root_ + "/etc/vorn/vorn_restart/",
                                 root_ + "/usr/sbin/"};
        fake_system::boot_clock = 300000;
        config_ = root_ + "/etc/vorn/vorn_restart/vorn_restart.conf";
        fake_files::files[config_] =
            R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": "w"}, )"
            R"({"name": "gone"}]})";
        fake_files::files["/proc/self/stat"] = "1 (x) S 0";
        fake_files::add_process(812, "vorn_restart", "/usr/sbin/vorn_restart\0"s, 1, "/v");
        fake_files::add_process(900, "w", "w\0"s, 812, "/w");
    }

    // What supervisor 812 writes, up 3d04h.
    std::string document(const std::string& slots, const std::string& usable = "true",
                         const std::string& more = "") const {
        return R"({"format": 2, "pid": 812, "start_ticks": 7000, "started": 1764878400, )"
               R"("started_boot": 26400, "turn": 3, )" +
               more + R"("configuration": {"file": ")" + config_ + R"(", "usable": )" + usable +
               R"(}, "kill_by_name": {"works": true}, "slots": [)" + slots + "]}";
    }
    static std::string slot(const std::string& fields, const std::string& name = "w",
                            int index = 2) {
        const std::string starts =
            fields.find("\"starts\"") == std::string::npos ? R"("starts": 4, )" : "";
        return R"({"slot": )" + std::to_string(index) + R"(, "name": ")" + name + R"(", )" +
               starts + fields + "}";
    }

    // vorn_restart_check --status --status_path=/run/t.status [--json].
    // Every text report is checked against the JSON one of the same
    // moment: the same states, slot by slot, and the same exit status.
    std::string status(const std::string& file, bool json = false) {
        fake_files::files.erase("/run/t.status");
        if (!file.empty()) fake_files::files["/run/t.status"] = file;
        if (json) return status_run(true);
        const std::string json_out = status_run(true);
        const int json_status = status_;
        const std::string out = status_run(false);
        EXPECT_EQ(json_status, status_) << json_out;
        EXPECT_EQ(json_states(json_out), table_states(out)) << out << json_out;
        return out;
    }
    std::string status_run(bool json) {
        std::string args[] = {"vorn_restart_check", "--install_path=" + root_, "--status",
                              "--status_path=/run/t.status", "--json"};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                        args[3].data(), args[4].data(), nullptr};
        CaptureStdout();
        CaptureStderr();
        status_ = run_check(json ? 5 : 4, argv);
        program_name = "vorn_restart";  // as the other suites expect it
        err_ = GetCapturedStderr();
        return GetCapturedStdout();
    }
    // The state column of the text's table, row by row.
    static std::vector<std::string> table_states(const std::string& out) {
        std::vector<std::string> states;
        std::size_t at = out.find("slot  name ");
        for (at = out.find('\n', at); at != std::string::npos && at + 1 < out.size() &&
                                      std::isdigit(static_cast<unsigned char>(out[at + 1]));
             at = out.find('\n', at + 1)) {
            std::istringstream row(out.substr(at + 1, out.find('\n', at + 1) - at - 1));
            std::string slot, name, state;
            row >> slot >> name >> state;
            states.push_back(state);
        }
        return states;
    }
    static std::vector<std::string> json_states(const std::string& out) {
        std::vector<std::string> states;
        json_t* doc = json_loads(out.c_str(), 0, nullptr);
        const json_t* slots = json_object_get(doc, "slots");
        for (std::size_t i = 0; i < json_array_size(slots); ++i) {
            const char* state =
                json_string_value(json_object_get(json_array_get(slots, i), "state"));
            states.emplace_back(state ? state : "?");
        }
        EXPECT_NE(doc, nullptr) << out;
        json_decref(doc);
        return states;
    }
    // vorn_restart_check (or another program) with args.
    std::string check(std::vector<std::string> args, int (*program)(int, char**) = run_check) {
        args.insert(args.begin(), program == run_ctl ? "vorn_restart_ctl" : "vorn_restart_check");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        CaptureStdout();
        CaptureStderr();
        status_ = program(static_cast<int>(args.size()), argv.data());
        program_name = "vorn_restart";
        err_ = GetCapturedStderr();
        return GetCapturedStdout();
    }
    // text with its first `from` replaced by `to`.
    static std::string swap(std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    }
    static void file_info(uid_t owner, mode_t mode, long long mtime) {
        struct stat info {};
        info.st_uid = owner;
        info.st_mode = S_IFREG | mode;
        info.st_mtim.tv_sec = mtime;
        fake_files::infos["/run/t.status"] = info;
    }

    std::string root_, config_, err_;
};

TEST_F(check_status_test, exit_status_tells_live_degraded_absent_and_unknown) {
    fake_files::add_process(77, "sshd", "/usr/sbin/sshd\0"s, 1, "/usr/sbin/sshd");
    const std::string running = slot(R"("state": "running", "pid": 900, "since_boot": 299750, )"
                                     R"("last_exit": {"signal": 9})");
    const std::string left = "/run/t.status was left by vorn_restart pid 812, which has ended";
    const struct {
        std::string file;
        std::function<void()> setup;
        int status;
        std::string text;
    } cases[] = {
        {document(running + R"(, {"slot": 3, "name": "e\u001b", "state": "off", "starts": 0})"),
         [] {}, 0,
         "vorn_restart pid 812, up 3d04h, turn 3, last pass 0s ago\n"
         "configuration " +
             config_ +
             ": usable\n"
             "slot  name                  state      pid      uptime  starts  last exit\n"
             "2     w                     running    900      4m10s   4       signal 9\n"
             "3     e\\033                 off        -        -       0       -\n"
             "the next turn kills by name:\n"},
        {document(slot(R"("state": "waiting")")), [] {}, 1, "slot 2, w: starts at the next pass\n"},
        {document("", R"(false, "problem": "tasks[1] (\"w\"): \"system\" must be an integer")"),
         [] {}, 1,
         ": unusable, no task is started\n  tasks[1] (\"w\"): \"system\" must be an integer\n"},
        // The supervisor is not going round.
        {document(running),
         [] { fake_files::add_process(812, "vorn_restart", "vorn_restart\0"s, 1, "/v", 'T'); }, 1,
         "vorn_restart is stopped (state T): it starts and reaps nothing until it is continued"},
        {document(running), [] { file_info(0, 0644, 300000 - 41); }, 1,
         "last pass 41s ago\nno pass for 41 s: the supervisor is stopped or hung"},
        {document(running), [] { file_info(0, 0644, 300000 - 40); }, 0,
         "last pass 40s ago\nconfig"},
        {document(running), [] { file_info(0, 0644, 1765152000); }, 4, "is not a pass mark"},
        // Children that are not what the file says.
        {document(running), [] { fake_files::add_process(900, "w", "w\0"s, 812, "/w", 'Z'); }, 1,
         "exited     900"},
        {document(running), [] { fake_files::files.erase("/proc/900/stat"); }, 1,
         "slot 2, w: recorded as running as pid 900, but there is no such process\n"},
        {document(running), [] { fake_files::add_process(900, "w", "w\0"s, 1, "/w"); }, 1,
         "that pid is now a process vorn_restart did not start\n"},
        // Forked, not yet the task's program (the supervisor's executable
        // still): starting, which is well while nothing is known against it.
        {document(running), [] { fake_files::add_process(900, "vorn_restart", "v\0"s, 812, "/v"); },
         0, "2     w                     starting   900      -       4       signal 9\n"},
        {document(slot(R"("state": "exited", "pid": 900, "mode": "once")")), [] {}, 0, "exited"},
        {document(slot(R"("state": "off", "mode": "once", "starts": 0)")), [] {}, 0,
         "slot 2, w: mode once, not started in this turn"},
        // No live supervisor.
        {"",
         [] {
             fake_files::files["/proc/812/cmdline"] = "vorn_restart\0--status_p\0/run/t.status\0"s;
         },
         4, "vorn_restart runs as pid 812 but publishes no status at /run/t.status: "},
        {"",
         [] {
             fake_files::files["/proc/812/cmdline"] =
                 "vorn_restart\0--status_path=/run/t.status\0--\0--s=x"s;
         },
         4, "vorn_restart runs as pid 812 but publishes no status"},
        {"", [] {}, 3,
         "cannot read /run/t.status: No such file or directory (vorn_restart pid 812 publishes "
         "its status elsewhere, at /run/vorn_restart.status: "},
        {"",
         [] {
             fake_files::files["/proc/812/cmdline"] =
                 "vorn_restart\0--status_path=/run/t.status\0--status=/x\0"s;
         },
         3, "elsewhere, at /x"},
        {"", [] { fake_files::files.erase("/proc/812/stat"); }, 3,
         "no live vorn_restart: cannot read /run/t.status: No such file or directory\n"},
        {document(""), [] { fake_files::files.erase("/proc/812/stat"); }, 3, left + "\n"},
        {document(""), [] { fake_files::add_process(812, "sshd", "sshd\0"s, 1, "/s"); }, 3,
         left + ": pid 812 is now sshd\n"},
        {document(""),
         [] {
             fake_files::add_process(812, "vorn_restart", "vorn_restart\0"s, 1, "/v", 'S', 7101);
         },
         3, left + ": pid 812 is now another vorn_restart"},
        // A start recorded a few ticks late, as under an emulated /proc/self.
        {document(""),
         [] {
             fake_files::add_process(812, "vorn_restart", "vorn_restart\0"s, 1, "/v", 'S', 6900);
         },
         0, "vorn_restart pid 812, up 3d04h"},
        {document(""), [] { fake_files::owners[812] = 1000; }, 3, "is now another vorn_restart"},
        // The file cannot be believed.
        {document(""), [] { file_info(1234, 0644, 300000); }, 4,
         "the status of vorn_restart is not known: /run/t.status is owned by user 1234"},
        {document(""), [] { file_info(0, 0664, 300000); }, 4,
         "can be written by its group: not trusted"},
        {document(""),
         [] {
             fake_files::files.erase("/proc/812/stat");
             fake_files::files.erase("/proc/self/stat");
         },
         4, "cannot tell whether vorn_restart pid 812 lives: /proc cannot be read"},
        {swap(document(""), R"("start_ticks": 7000)", R"("start_ticks": null)"), [] {}, 4,
         "records no start time"},
        {"{\"format\": 2,", [] {}, 4, "/run/t.status does not parse: line 1"},
        {R"({"format": 1, "pid": 812})", [] {}, 4,
         "is of format 1, which this checker does not read"},
        {R"({"format": 2, "pid": 9223372036854775807, "configuration": {}, "slots": []})", [] {}, 4,
         "not a vorn_restart status file of format 2"},
        {document("") + std::string(status_read_limit, ' '), [] {}, 4,
         "/run/t.status is larger than 131072 bytes: not trusted\n"},
        // Numbers out of range show as invalid; nothing overflows.
        {swap(
             document(slot(R"("state": "running", "pid": 900, "since_boot": -9223372036854775808, )"
                           R"("last_exit": {"code": 9223372036854775807}, "starts": -1)")),
             R"("started_boot": 26400)", R"("started_boot": -9223372036854775808)"),
         [] {}, 0, "up invalid, turn 3"},
        {document(slot(R"("state": "running", "pid": 900, "since_boot": 400000, )"
                       R"("last_exit": {"code": 9223372036854775807}, "starts": -1)")),
         [] {}, 0, "900      invalid invalid invalid\n"},
    };
    for (const auto& c : cases) {
        c.setup();
        const std::string out = status(c.file);
        EXPECT_EQ(status_, c.status) << out;
        EXPECT_NE(out.find(c.text), std::string::npos) << out;
        SetUp();  // the processes and files as they were
    }
}

TEST_F(check_status_test, slots_that_should_run_and_do_not_say_why) {
    // Child 900 has ended with the waitpid status word, not yet reaped.
    const auto zombie = [](int wait_status) {
        return [wait_status] {
            std::string stat = "900 (w) Z 812";
            for (int field = 5; field <= 51; ++field) stat += field == 22 ? " 7000" : " 0";
            fake_files::files["/proc/900/stat"] = stat + " " + std::to_string(wait_status);
        };
    };
    const std::string reaped = "; it is started again after its reap at a coming pass";
    const std::string not_executed =
        "recorded as running as pid 900, but that process has not executed the task's program "
        "yet: ";
    const auto forked = [] { fake_files::add_process(900, "vorn_restart", "v\0"s, 812, "/v"); };
    const std::string ended =
        "recorded as running as pid 900, but that process has ended and "
        "waits for vorn_restart to reap it: ";
    const struct {
        std::string fields;
        std::string why;  // empty: no line for the slot
        std::string name = "w";
        int index = 2;
        std::function<void()> setup = [] {};
    } cases[] = {
        {R"("state": "held_back", "marker": "/tmp/.w.nr")", "held back by marker /tmp/.w.nr"},
        // The executable is the checker's own <sbin>/gone, never a path in the file.
        {R"("state": "waiting", "path": "/bin/sh")",
         "the executable " + root_ + "/usr/sbin/gone is missing", "gone", 3},
        {R"("state": "waiting", "path": "/nonexistent/w")", "starts at the next pass"},
        // A step before the program failed: said before what its ends tell.
        {R"("state": "waiting", "last_exit": {"code": 255}, "same_exits": 3, )"
         R"("start_failure": "cannot take uid 65534: Operation not permitted")",
         "its program never ran: cannot take uid 65534: Operation not permitted"},
        {R"("state": "waiting", "last_exit": {"code": 1}, "same_exits": 3)",
         "restarted 3 times and ended with code 1 each time"},
        {R"("state": "exited", "pid": 900, "last_exit": {"code": 1}, "same_exits": 1)",
         "ended, and is started again after its reap at a coming pass"},
        {R"("state": "waiting", "last_exit": {"code": 0}, "same_exits": 4, "short_runs": 4)",
         "ended with status 0 within one pass of starting, 4 times in a row: a program that puts "
         "itself in the background does that, and vorn_restart needs its tasks in the foreground"},
        {R"("state": "running", "pid": 900, "last_exit": {"signal": 9}, "same_exits": 3)",
         "running again, but restarted 3 times and ended with signal 9 each time before: a "
         "crash loop"},
        // Ends the supervisor brought about are no crash; more than same_exits is not believed.
        {R"("state": "waiting", "last_exit": {"code": 1}, "same_exits": 4, "ended_by_supervisor": 1)",
         "restarted 3 times and ended with code 1 each time"},
        {R"("state": "waiting", "last_exit": {"code": 1}, "same_exits": 3, "ended_by_supervisor": 4)",
         "restarted 3 times and ended with code 1 each time"},
        // Ends with status 0 that were not short are no crash loop.
        {R"("state": "running", "pid": 900, "last_exit": {"code": 0}, "same_exits": 5)", ""},
        {R"("state": "running", "pid": 900, "last_exit": {"code": 1}, "same_exits": 2)", ""},
        // Ended since the file was written: the cause is the one the
        // following reports give, with what comes next.
        {R"("state": "running", "pid": 900, "last_exit": {"code": 255}, "same_exits": 4)",
         ended + "the executable " + root_ + "/usr/sbin/gone is missing" + reaped, "gone", 3,
         zombie(255 << 8)},
        {R"("state": "exited", "pid": 900, "last_exit": {"code": 255}, "same_exits": 5)",
         "the executable " + root_ + "/usr/sbin/gone is missing" + reaped, "gone", 3},
        {R"("state": "running", "pid": 900, "last_exit": {"signal": 11}, "same_exits": 2)",
         ended + "restarted 3 times and ended with signal 11 each time" + reaped, "w", 2,
         zombie(11)},
        // Between the fork and a failed exec, as between the fork and any exec:
        // no task runs, and its last ends tell why.
        {R"("state": "running", "pid": 900, "last_exit": {"code": 255}, "same_exits": 4)",
         not_executed + "the executable " + root_ + "/usr/sbin/gone is missing", "gone", 3, forked},
        {R"("state": "running", "pid": 900)", not_executed + "it is starting", "w", 2, forked},
        {R"("state": "running", "pid": 900, "since_boot": 299998, "last_exit": {"code": 3})",
         ended + "it ended with code 0" + reaped, "w", 2, zombie(0)},
        {R"("state": "running", "pid": 900, "since_boot": 299998, "last_exit": {"code": 3})",
         ended +
             "ended with status 0 within one pass of starting, while pid 950 of the same name "
             "lives on: a program that puts itself in the background does that, and "
             "vorn_restart needs its tasks in the foreground" +
             reaped,
         "w", 2,
         [zombie] {
             zombie(0)();
             fake_files::add_process(950, "w", "w\0"s, 1, "/w");
         }},
    };
    for (const auto& c : cases) {
        c.setup();
        const std::string out = status(document(slot(c.fields, c.name, c.index)));
        const std::string prefix = "slot " + std::to_string(c.index) + ", " + c.name + ": ";
        const std::size_t at = out.find(prefix);
        EXPECT_EQ(at == std::string::npos
                      ? ""
                      : out.substr(at + prefix.size(), out.find('\n', at) - at - prefix.size()),
                  c.why)
            << out;
        SetUp();
    }
}

// The JSON view keeps every member of the file in its place, states
// confirmed, with the judgement beside; without a live supervisor it says
// why, on standard output and on standard error.
TEST_F(check_status_test, json_is_the_document_with_the_judgement_beside) {
    fake_files::add_process(900, "w", "w\0"s, 812, "/w", 'Z');
    const std::string out = status(document(slot(R"("state": "running", "pid": 900)")), true);
    EXPECT_EQ(status_, status_exit_degraded);
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(out.starts_with(R"({"format":2,"pid":812,"start_ticks":7000,)")) << out;
    EXPECT_NE(out.find(R"({"slot":2,"name":"w","starts":4,"state":"exited","pid":900,)"
                       R"("recorded_state":"running","why":"recorded as running as pid 900, but )"
                       R"(that process has ended and waits for vorn_restart to reap it: it ended; )"
                       R"(it is started again after its reap at a coming pass","cause":"ended",)"
                       R"("log_tail":null})"),
              std::string::npos)
        << out;
    EXPECT_TRUE(out.ends_with(R"("supervisor":{"lives":true,"state":"S","stopped":false,)"
                              R"("hung":false,"pass_age":0,"problem":null},"warnings":[],)"
                              R"("exit_status":1})"
                              "\n"))
        << out;
    fake_files::files.erase("/proc/812/stat");
    EXPECT_EQ(status(document(""), true),
              R"({"format":2,"supervisor":{"lives":false,"state":null,"stopped":false,)"
              R"("hung":false,"pass_age":null,"problem":"/run/t.status was left by vorn_restart )"
              R"(pid 812, which has ended"},"warnings":[],"exit_status":3})"
              "\n");
    EXPECT_EQ(status_, status_exit_absent);
    EXPECT_NE(err_.find("which has ended"), std::string::npos) << err_;
}

// The configuration the checker reads is its own, never one the file names.
TEST_F(check_status_test, paths_in_the_file_are_never_opened) {
    fake_files::files["/root/secret"] = "topsecret";
    const std::string out = status(swap(document(""), config_, "/root/secret"));
    EXPECT_EQ(out.find("topsecret"), std::string::npos) << out;
    EXPECT_NE(out.find("(this check reads " + config_), std::string::npos) << out;
    EXPECT_EQ(status_, status_exit_running);
}

// With no status file, the search for a supervisor sifts the processes by
// name: the stat of another program is never read.
TEST_F(check_status_test, search_for_a_supervisor_reads_no_stranger_stat) {
    static std::vector<std::string> read;
    static long (*reader)(const char*, char*, std::size_t);
    read.clear();
    reader = sys.read_file;
    sys.read_file = [](const char* path, char* buf, std::size_t cap) {
        read.emplace_back(path);
        return reader(path, buf, cap);
    };
    fake_files::add_process(950, "sshd", "sshd\0"s, 1, "/s");
    const std::string out = status("");
    EXPECT_EQ(status_, status_exit_absent) << out;
    EXPECT_NE(out.find("vorn_restart pid 812 publishes its status elsewhere"), std::string::npos)
        << out;
    EXPECT_NE(std::count(read.begin(), read.end(), "/proc/950/comm"), 0);
    EXPECT_EQ(std::count(read.begin(), read.end(), "/proc/950/stat"), 0);
}

// What a turn cannot do about stale copies is told.
// The supervisor's own faults that leave its tasks running: warned about,
// and the exit status stays 0.
TEST_F(check_status_test, killall_missing_or_oom_protection_refused_is_warned_about) {
    temp_dir bin;
    bin.write("killall", "#!/bin/sh\n");
    ::chmod((bin / "killall").c_str(), 0755);
    const std::string path = "PATH=" + bin.path() + "\0"s;
    const struct {
        std::string kill_by_name;
        std::string environ;
        std::string warning;
        std::string oom = "";
    } cases[] = {
        {R"({"works": true})", "HOME=/\0" + path, ""},
        {R"({"works": true})", "PATH=/nonexistent:" + bin.path() + "/x\0"s,
         "warning: no killall on vorn_restart's PATH (/nonexistent:" + bin.path() + "/x)"},
        {R"({"works": false, "problem": "No such file or directory"})", "",
         "warning: vorn_restart cannot run killall (No such file or directory)"},
        {R"({"works": true})", path,
         "warning: vorn_restart is not protected from the OOM killer: the kernel refused -1000 "
         "(Permission denied)\n",
         R"("oom_protection": {"works": false, "problem": "Permission denied"}, )"},
        {R"({"works": true})", path, "", R"("oom_protection": {"works": true}, )"},
    };
    for (const auto& c : cases) {
        fake_files::files["/proc/812/environ"] = c.environ;
        const std::string out =
            status(swap(document("", "true", c.oom), R"({"works": true})", c.kill_by_name));
        EXPECT_EQ(status_, status_exit_running);
        const std::size_t at = out.find("warning: ");
        EXPECT_EQ(at == std::string::npos ? "" : out.substr(at, c.warning.size()), c.warning)
            << out;
    }
}

// The last lines of a failing task's log under its line, both generations,
// escaped; a log that cannot be trusted is not shown.
TEST_F(check_status_test, failing_slot_shows_the_end_of_its_log) {
    const std::string logs = R"("log_path": "/l/", "log_problem": null, )";
    const std::string why = "slot 2, w: restarted 3 times and ended with code 1 each time\n";
    const std::string failing = slot(R"("state": "waiting", "last_exit": {"code": 1}, )"
                                     R"("same_exits": 3)");
    const std::string long_line(status_log_width + 1, 'x');
    struct stat others_may_write {};
    others_may_write.st_mode = S_IFREG | 0646;
    struct stat strangers {};
    strangers.st_mode = S_IFREG | 0640;
    strangers.st_uid = 1234;
    struct stat hard_linked {};
    hard_linked.st_mode = S_IFREG | 0640;
    hard_linked.st_nlink = 2;
    struct stat link {};
    link.st_mode = S_IFLNK | 0777;
    const struct {
        std::string document, old_log, log;
        std::function<void()> setup;
        std::string shown;  // between the slot's line and the kill listing
    } cases[] = {
        {document(failing, "true", logs), "o1\no2\n", "c\x1b[2J1\nc2", [] {},
         "    o1\n    o2\n    c\\033[2J1\n    c2\n"},
        {document(failing, "true", logs), "o1\n", "c1\nc2\nc3\nc4\nc5\nc6\n", [] {},
         "    c2\n    c3\n    c4\n    c5\n    c6\n"},
        {document(failing, "true", logs), "", long_line + "\n\n", [] {},
         "    " + long_line.substr(0, status_log_width) + " [cut]\n    \n"},
        {document(failing, "true", logs), "o1", "", [] {}, "    o1\n"},
        // Read only in part: neither the cut line nor the older generation.
        {document(failing, "true", logs), "o1\n", std::string(log_read_limit, 'x') + "\nc1\n",
         [] {}, "    c1\n"},
        // Logs off, or no log of the task: nothing.
        {document(failing), "o1\n", "c1\n", [] {}, ""},
        {document(failing, "true", logs), "", "",
         [] {
             fake_files::files.erase("/l/w.log");
             fake_files::files.erase("/l/w.log.1");
         },
         ""},
        {document(failing, "true", R"("log_path": null, "log_problem": "/l/ is a link\u001b", )"),
         "o1\n", "c1\n", [] {}, "warning: vorn_restart keeps no task logs: /l/ is a link\\033\n"},
        {document(failing, "true", R"("log_path": "l/", )"), "o1\n", "c1\n", [] {},
         "warning: the log directory in the status file is not an absolute path ending in '/': "
         "the task logs are not shown (give --log_path)\n"},
        {document(failing, "true", R"("log_path": 7, )"), "o1\n", "c1\n", [] {},
         "warning: the log directory in the status file is not an absolute path ending in '/': "
         "the task logs are not shown (give --log_path)\n"},
        // Files that cannot be trusted are named, never shown.
        {document(failing, "true", logs), "o1\n", "c1\n",
         [&] { fake_files::infos["/l/w.log"] = others_may_write; },
         "    (/l/w.log can be written by anyone: not trusted)\n    o1\n"},
        {document(failing, "true", logs), "o1\n", "c1\n",
         [&] { fake_files::infos["/l/w.log.1"] = strangers; },
         "    (/l/w.log.1 is owned by user 1234, not root, this user or vorn_restart's: not "
         "trusted)\n    c1\n"},
        {document(failing, "true", logs), "o1\n", "c1\n",
         [&] { fake_files::infos["/l/w.log"] = hard_linked; },
         "    (/l/w.log has other names (hard links): not trusted)\n    o1\n"},
        // The directory by the supervisor's rule, its path taken whole.
        {document(failing, "true", logs), "o1\n", "c1\n", [&] { fake_files::infos["/l"] = link; },
         "    (/l is a symbolic link: not trusted)\n"},
        {document(failing, "true", R"("log_path": "/l/.//", )"), "o1\n", "c1\n",
         [&] { fake_files::infos["/l"] = link; }, "    (/l is a symbolic link: not trusted)\n"},
        // Named, but refused by the supervisor: its problem, no lines.
        {document(failing, "true", R"("log_path": "/l/", "log_problem": "/l: it was removed", )"),
         "o1\n", "c1\n", [] {}, "warning: vorn_restart keeps no task logs: /l: it was removed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        fake_files::files["/l/w.log.1"] = c.old_log;
        fake_files::files["/l/w.log"] = c.log;
        c.setup();
        const std::string out = status(c.document);
        const std::size_t at = out.find(why);
        ASSERT_NE(at, std::string::npos) << out;
        const std::size_t from = at + why.size();
        EXPECT_EQ(out.substr(from, out.find("the next turn kills", from) - from), c.shown) << out;
        SetUp();
    }
    // A running slot that is fine shows no log.
    fake_files::files["/l/w.log"] = "c1\n";
    const std::string out =
        status(document(slot(R"("state": "running", "pid": 900)"), "true", logs));
    EXPECT_EQ(out.find("    c1"), std::string::npos) << out;
}

// --log on real files: both generations in order, raw; what cannot be
// trusted is refused.
TEST_F(check_status_test, log_prints_the_last_lines_of_both_generations) {
    temp_dir logs;
    sys.read_tail_at = real_system_ops.read_tail_at;
    sys.open_existing_directory = real_system_ops.open_existing_directory;
    sys.lstat_path = real_system_ops.lstat_path;
    sys.close_descriptor = real_system_ops.close_descriptor;
    testing::fake_logs::euid = ::geteuid();
    const auto write_log = [&](const std::string& name, const std::string& text) {
        logs.write(name, text);
        ::chmod((logs / name).c_str(), 0640);
    };
    const auto log = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "--log_path=" + logs.path());
        return check(args);
    };
    write_log("w.log.1", "o1\no2\n");
    write_log("w.log", "c1\n\x1b[2Jc2\nc3");
    const struct {
        std::string lines;
        std::string out;
    } cases[] = {
        {"2", "\x1b[2Jc2\nc3\n"},
        {"4", "o2\nc1\n\x1b[2Jc2\nc3\n"},
        {"10000", "o1\no2\nc1\n\x1b[2Jc2\nc3\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(log({"--log", "w", "--lines", c.lines}), c.out);
        EXPECT_EQ(status_, 0) << err_;
    }
    EXPECT_EQ(log({"--log", "v"}), "");
    EXPECT_EQ(status_, 1);
    EXPECT_EQ(err_,
              "vorn_restart_check: no log of task v: " + logs.path() + "/v.log does not exist\n");
    // Planted at the current log's place: it is refused, the older one still shown.
    const std::string at = logs / "w.log";
    const std::function<void()> plants[] = {
        [&] { ::symlink((logs / "w.log.1").c_str(), at.c_str()); },
        [&] { ::mkfifo(at.c_str(), 0600); },
        [&] { write_log("w.log", "c1\n"), ::chmod(at.c_str(), 0660); },
        [&] { write_log("other", "x\n"), ::link((logs / "other").c_str(), at.c_str()); },
    };
    const std::string why[] = {"is a symbolic link", "is not a regular file",
                               "can be written by its group", "has other names (hard links)"};
    for (std::size_t i = 0; i < std::size(plants); ++i) {
        ::unlink(at.c_str());
        plants[i]();
        EXPECT_EQ(log({"--log", "w"}), "o1\no2\n");
        EXPECT_EQ(status_, status_exit_unknown);
        EXPECT_EQ(err_, "vorn_restart_check: " + at + " " + why[i] + ": not trusted\n");
    }
    // A link to the directory, however its path is spelt.
    ::symlink(logs.path().c_str(), (logs / "here").c_str());
    for (const char* spelling : {"here", "here//", "here/."}) {
        EXPECT_EQ(check({"--log_path=" + logs / spelling, "--log", "w"}), "");
        EXPECT_EQ(status_, status_exit_unknown);
        EXPECT_EQ(err_,
                  "vorn_restart_check: " + logs / "here" + " is a symbolic link: not trusted\n");
    }
}

// Without --log_path, the directory the live supervisor names.
TEST_F(check_status_test, log_follows_the_status_file) {
    fake_files::files["/l/w.log"] = "c1\n";
    const auto log = [&](const std::string& file, const std::string& path = "/run/t.status") {
        fake_files::files["/run/t.status"] = file;
        return check({"--status_path=" + path, "--log=w"});
    };
    EXPECT_EQ(log(document("", "true", R"("log_path": "/l/", )")), "c1\n");
    EXPECT_EQ(status_, 0) << err_;
    for (const char* named : {"null", R"("/l/")"}) {
        EXPECT_EQ(
            log(document("", "true",
                         R"("log_path": )" + std::string(named) + R"(, "log_problem": "gone", )")),
            "");
        EXPECT_EQ(status_, 1);
        EXPECT_EQ(err_, "vorn_restart_check: vorn_restart keeps no task logs: gone\n");
    }
    EXPECT_EQ(log(document("", "true", R"("log_path": "l/", )")), "");
    EXPECT_EQ(status_, 4);
    EXPECT_EQ(log(document(""), "/run/none"), "");
    EXPECT_EQ(status_, 3);
    EXPECT_NE(err_.find("no live vorn_restart: cannot read /run/none"), std::string::npos) << err_;
}

TEST_F(check_status_test, kill_listing_marks_what_the_supervisor_did_not_start) {
    fake_files::files[config_] = R"({"tasks": [{"name": "w"}, {"name": "a_very_long_task_name"},
        {"name": "a_very_long_tas"}]})";
    const std::string past_4k(5000, 'f'), past_64k(70000, 'f'), up_to_4k(4074, 'f');
    const struct {
        pid_t pid;
        std::string comm, cmdline;
        pid_t parent;
        std::string exe;
        unsigned long long start = 7000;
    } processes[] = {
        {990, "w", "w\0"s, 812, "/usr/sbin/w"},
        {991, "w", "w\0"s, 1, ""},
        // comm keeps 15 bytes of a long name; killall then compares the command line.
        {992, "a_very_long_tas", "/s/a_very_long_task_name\0-v\0"s, 812, "/x"},
        {993, "a_very_long_tas", "/s/a_very_long_task_other\0"s, 1, "/y"},
        // The whole command line, however far the word killall compares lies
        // (for 996 it spans byte 4,096).
        {994, "a_very_long_tas", past_4k + "\0/s/a_very_long_task_name\0"s, 812, "/4k"},
        {995, "a_very_long_tas", past_64k + "\0a_very_long_task_name"s, 812, "/64k"},
        {996, "a_very_long_tas", up_to_4k + "\0/s/a_very_long_task_name\0"s, 812, "/cut"},
        {997, "a_very_long_tas", past_4k + "\0/s/a_very_long_task_other\0"s, 1, "/other"},
        // A base name too long to keep equals neither name, cut or not.
        {998, "a_very_long_tas", "/s/a_very_long_task_name" + std::string(300, 'x'), 1, "/long"},
        // No word begins with comm: its 15 bytes decide.
        {999, "a_very_long_tas", past_64k, 812, "/none"},
        {::getpid(), "w", "w\0"s, 1, "/self"},
        // Of the task's unit: a child of its child, and a process in its cgroup.
        {1001, "w", "w\0"s, 990, "/sub"},
        {1002, "w", "w\0"s, 1, "/daemon"},
        // A child of a pid that came round again to a newer process: not of the unit.
        {1004, "w", "w\0"s, 990, "/old", 6000},
    };
    for (const auto& p : processes)
        fake_files::add_process(p.pid, p.comm, p.cmdline, p.parent, p.exe, 'S', p.start);
    fake_files::files["/proc/self/mountinfo"] = "41 31 0:38 / /cg rw - cgroup2 cgroup2 rw\n";
    fake_files::files["/proc/812/cgroup"] = "0::/sup/vorn_restart.supervisor\n";
    fake_files::files["/proc/1002/cgroup"] = "0::/sup/vorn_restart.tasks/w\n";
    const std::string out = run(config_.c_str());
    EXPECT_TRUE(out.ends_with(
        "the next turn kills by name:\n  vorn_update: no process\n  vorn_monitor: no process\n"
        "  w: pid 900, /w, parent 812\n"
        "  w: pid 990, /usr/sbin/w, parent 812\n"
        "  w: pid 991, ?, parent 1 (not started by vorn_restart)\n"
        "  w: pid 1001, /sub, parent 990\n"
        "  w: pid 1002, /daemon, parent 1\n"
        "  w: pid 1004, /old, parent 990 (not started by vorn_restart)\n"
        "  a_very_long_task_name: pid 992, /x, parent 812\n"
        "  a_very_long_task_name: pid 994, /4k, parent 812\n"
        "  a_very_long_task_name: pid 995, /64k, parent 812\n"
        "  a_very_long_task_name: pid 996, /cut, parent 812\n"
        "  a_very_long_task_name: pid 999, /none, parent 812\n"
        "  a_very_long_tas: pid 999, /none, parent 812\n"
        "warning: the next turn kills process 991 (?) by the name \"w\", and vorn_restart did not "
        "start it\n"
        "warning: the next turn kills process 1004 (/old) by the name \"w\", and vorn_restart did "
        "not start it\n"))
        << out;
}

// A unit is read in its cgroup only when the status file names the task's
// own cgroup in the running supervisor's container; no other directory it
// names is ever opened.
TEST_F(check_status_test, a_units_cgroup_is_read_only_in_the_supervisors_container) {
    fake_files::files["/proc/self/mountinfo"] = "41 31 0:38 / /cg rw - cgroup2 cgroup2 rw\n";
    fake_files::files["/proc/812/cgroup"] = "0::/sup/vorn_restart.supervisor\n";
    const std::string own = "/cg/sup/vorn_restart.tasks/w";
    fake_files::files[own + "/cpu.stat"] = "usage_usec 1500000\n";
    fake_files::files[own + "/cgroup.procs"] = "900\n";
    const std::string refused =
        "unit of w: the status file names a cgroup that is not the "
        "task's own in the running supervisor's container: not read\n";
    for (const std::string& cgroup :
         {own, "/cg/elsewhere/w"s, "/cg/sup/vorn_restart.tasks/other"s,
          "/cg/sup/vorn_restart.tasks/../x/w"s, "/cg/sup/w"s, "/etc/w"s}) {
        // What another directory holds would show, were it read.
        if (cgroup != own) fake_files::files[cgroup + "/cpu.stat"] = "usage_usec 7000000\n";
        const std::string out = status(document(
            slot(R"("state": "running", "pid": 900, "unit": {"tracked": "cgroup", "cgroup": ")" +
                 cgroup + R"("})")));
        EXPECT_NE(
            out.find(cgroup == own ? "unit of w: cgroup " + own + ", cpu 1.50 s, memory 0.0 MB\n"
                                   : refused),
            std::string::npos)
            << out;
    }
}

// vorn_restart_ctl asking supervisor 812 (its status file the default one,
// its channel a socket of root's beside it) with the operands of each row;
// the peer answers what is said, then "exit N".
TEST_F(check_status_test, ctl_sends_only_to_the_supervisor_and_says_its_answer) {
    static int peer, send_error;
    static std::string sent;
    sys.connect_channel = [](const char*, unsigned, pid_t* pid, uid_t*) {
        return *pid = peer, 250;
    };
    sys.send_all = [](int, const char* data, std::size_t len) {
        sent.assign(data, len);
        errno = send_error;
        return send_error == 0 ? 0 : -1;
    };
    const std::string ctl = "vorn_restart_ctl: ", file = "/run/vorn_restart.status",
                      channel = file + ".ctl";
    fake_files::files[file] = document(slot(R"("state": "running", "pid": 900)"));
    const struct {
        std::vector<std::string> operands;
        int send_error;
        pid_t peer;
        std::string planted;  // of uid 1000
        int status;
        std::string said;  // what is printed first
        std::string sent;
    } rows[] = {
        {{"--grace=2", "stop", "--", "-\tw"}, EPIPE, 812, "", 3, "no\n", "stop -\\x09w 2000\n"},
        {{"start", "w"}, ECONNRESET, 812, "", 1, "busy\n", "start w\n"},
        {{}, 0, 812, "", 2, "Usage:", ""},
        {{"restart", "-xh"}, 0, 812, "", 2, ctl + "invalid option -- 'x'\nUsage:", ""},
        {{"stop", "w"}, 0, 813, "", 3, ctl + channel + " is held by pid 813", ""},
        {{"stop", "w"}, 0, 812, channel, 3, ctl + channel + " is not the", ""},
        {{"stop", "w"}, 0, 812, "/run", 3, ctl + "cannot trust the directory", ""},
    };
    for (const auto& row : rows) {
        fake_files::infos.clear();
        fake_files::infos[channel].st_mode = S_IFSOCK | 0600;
        fake_files::infos["/run"].st_mode = S_IFDIR | 0755;
        fake_files::infos[row.planted].st_uid = 1000;
        fake_system::requests[250] = row.said + "exit " + std::to_string(row.status) + "\n";
        peer = row.peer;
        send_error = row.send_error;
        sent.clear();
        const std::string out = check(row.operands, run_ctl), printed = err_ + out;
        EXPECT_EQ(status_, row.status) << row.said;
        EXPECT_EQ(printed.rfind(row.said, 0), 0u) << printed;
        EXPECT_EQ(sent, row.sent);
    }
}
}  // namespace
}  // namespace vorn
