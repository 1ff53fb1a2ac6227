#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/launch.hpp"
#include "supervisor/command_line.hpp"
#include "supervisor/startup.hpp"
#include "temp_dir.hpp"

namespace vorn {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using vorn::testing::temp_dir;

// Runs the supervisor's option table over a command line.
void parse(std::vector<std::string> args) {
    args.insert(args.begin(), "vorn_restart");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    run_options(static_cast<int>(args.size()), argv.data(), supervisor_options,
                supervisor_option_count, show_usage_error);
}

std::string startup_line() {
    CaptureStderr();
    print_startup_line();
    return GetCapturedStderr();
}

class options_test : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        root_ = root_dir_.path() + "/";
        root_dir_.make_dirs("etc/vorn/vorn_restart");
        root_dir_.make_dirs("usr/sbin");
    }
    temp_dir root_dir_;
    std::string root_;  // ends in '/'
};

TEST_F(options_test, defaults_give_the_documented_startup_line) {
    parse({});
    normalise_settings();
    EXPECT_EQ(startup_line(),
              "install_path: /, config_path=/etc/vorn/vorn_restart/, sbin_path=/usr/sbin/, "
              "cache_path=\n");
    EXPECT_EQ(debug_mode, 0);
}

TEST_F(options_test, install_path_spellings_give_the_same_settings) {
    const std::string bare = root_.substr(0, root_.size() - 1);
    const std::vector<std::vector<std::string>> spellings = {
        {"--install_path=" + bare},
        {"--install_path=" + root_},
        {"--install_path", bare},  // value as the next argument
        {"--inst=" + bare},        // unique prefix
        {"--install_path=" + bare, "ignored-operand"},
        {"--install_path=" + root_ + "/.//."},  // taken whole
    };
    for (const auto& args : spellings) {
        SCOPED_TRACE(args[0]);
        reset_settings();
        parse(args);
        EXPECT_STREQ(install_path.data(), root_.c_str());
        EXPECT_EQ(std::string(config_path.data()), root_ + "etc/vorn/vorn_restart/");
        EXPECT_EQ(std::string(sbin_path.data()), root_ + "usr/sbin/");
    }
}

TEST_F(options_test, later_install_path_replaces_earlier_one_and_debug_is_set) {
    temp_dir other;
    other.make_dirs("etc/vorn/vorn_restart");
    other.make_dirs("usr/sbin");
    parse({"--install_path=" + root_, "-d", "--install_path=" + other.path(), "stray"});
    EXPECT_EQ(std::string(install_path.data()), other.path() + "/");
    EXPECT_EQ(debug_mode, 1);
}

struct exit_case {
    std::vector<std::string> args;
    int status;
    const char* stderr_pattern;
};

TEST_F(options_test, help_and_command_line_errors_end_the_program) {
    const std::string help = "Usage: vorn_restart \\[-h\\?\\] \\[--help\\]";
    const std::vector<exit_case> cases = {
        {{"-h"}, 0, "^vorn_restart\nUsage: vorn_restart"},
        {{"-?"}, 0, "^vorn_restart\nUsage: vorn_restart"},
        {{"--help"}, 0, "^vorn_restart\nUsage: vorn_restart"},
        {{"-d?"}, 0, "^vorn_restart\nUsage: vorn_restart"},
        {{"--he"}, 0, "^vorn_restart\nUsage: vorn_restart"},
        {{"--bogus"}, 2, "unrecognized option '--bogus'\nvorn_restart\nUsage"},
        {{"-x"}, 2, "invalid option -- 'x'\nvorn_restart\nUsage"},
        {{"--install_path"}, 2, "requires an argument\nvorn_restart\nUsage"},
        {{"--cache_path"}, 2, "requires an argument\nvorn_restart\nUsage"},
        {{"--help=yes"}, 2, "doesn't allow an argument\nvorn_restart\nUsage"},
        {{"--log_path=/tmp/x/.."},
         255,
         "^vorn_restart: --log_path: '..' is not taken in a path: name the directory without "
         "it\n$"},
        {{"--status_path=/run/../s"}, 255, "^vorn_restart: --status_path: '..' is not taken"},
    };
    for (const exit_case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        EXPECT_EXIT(parse(c.args), ::testing::ExitedWithCode(c.status), c.stderr_pattern);
    }
}

// Handlers that write down what they were called for, instead of acting.
std::vector<std::string> calls;
void note_h(const char*) { calls.emplace_back("h"); }
void note_help(const char*) { calls.emplace_back("?"); }
void note_d(const char*) { calls.emplace_back("d"); }
void note_root(const char* value) { calls.emplace_back(std::string("root=") + value); }
void note_error(const char*) { calls.emplace_back("error"); }
const option_row noting_rows[] = {
    {"h", false, note_h},    {"?", false, note_help},           {"d", false, note_d},
    {"help", false, note_h}, {"install_path", true, note_root},
};

// Each parse reads its own command line, whatever an earlier one met: a
// valid -? stays valid after errors, in and out of clusters.
TEST(run_options_test, every_parse_answers_like_the_first) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> calls;
    } cases[] = {
        {{"-?"}, {"?"}},
        {{"--bogus"}, {"error"}},
        {{"-?"}, {"?"}},
        {{"-d?x"}, {"d", "?", "error"}},
        {{"stray", "-?d", "--he"}, {"?", "d", "h"}},
        {{"--inst", "/x", "-x?", "op", "--help=1", "-?"}, {"root=/x", "error", "?", "error", "?"}},
    };
    for (int round = 0; round < 2; ++round)
        for (const auto& c : cases) {
            SCOPED_TRACE(c.args[0]);
            std::vector<std::string> args = c.args;
            args.insert(args.begin(), "prog");
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            calls.clear();
            CaptureStderr();  // getopt_long's complaints
            run_options(static_cast<int>(args.size()), argv.data(), noting_rows,
                        std::size(noting_rows), note_error);
            GetCapturedStderr();
            EXPECT_EQ(calls, c.calls);
        }
}

TEST_F(options_test, help_text_is_exact) {
    EXPECT_STREQ(
        help_text,
        "vorn_restart\n"
        "Usage: vorn_restart [-h?] [--help] [--config_path=xxx] [--cache_path=xxx]\n\n"
        "Options:\n"
        "-h                    help info\n"
        "-?                    help info\n"
        "--help                help info\n"
        "--install_path        such as: --install_path=/\n"
        "--cache_path          such as: --config_path=/mnt/sda1\n"
        "--status_path         such as: --status_path=/run/vorn_restart.status\n"
        "--log_path            such as: --log_path=/run/vorn_restart/log (each task's "
        "output\n"
        "                      in <name>.log there; default: none, the null device)\n"
        "--log_size            such as: --log_size=65536 (bytes a task's log holds "
        "before\n"
        "                      it becomes <name>.log.1; at least 4096)\n"
        "--metrics_path        such as: --metrics_path=/var/lib/prometheus/node-exporter/\n"
        "                      vorn_restart.prom (Prometheus text format; default: none)\n"
        "--watchdog            such as: --watchdog=/dev/watchdog (written to at every pass,\n"
        "                      so that a hung or dead supervisor resets the device)\n"
        "--no_task_cgroups     follow each task's processes as a process tree, never in a\n"
        "                      cgroup of its own (default: a cgroup per task when root)\n"
        "--no_oom_protect      keep the OOM score the supervisor was started with (as\n"
        "                      root it otherwise takes -1000, and its tasks 0)\n");
}

// Every path in one form: a final "//" or "/." would have let an open that
// refuses a link follow it.
TEST_F(options_test, paths_are_taken_whole) {
    const struct {
        std::string option;
        const char* setting;
        std::string taken;
    } cases[] = {
        {"--log_path=/tmp/x//", log_path.data(), "/tmp/x/"},
        {"--log_path=/tmp/x/.", log_path.data(), "/tmp/x/"},
        {"--log_path=//tmp/./x/./", log_path.data(), "/tmp/x/"},
        {"--log_path=./", log_path.data(), "./"},
        {"--log_path=/", log_path.data(), "/"},
        {"--status_path=/run//a/./s.status/", status_path.data(), "/run/a/s.status"},
        {"--metrics_path=/m//v.prom", metrics_path.data(), "/m/v.prom"},
        {"--watchdog=/dev/./watchdog", watchdog_path.data(), "/dev/watchdog"},
    };
    for (const auto& c : cases) {
        reset_settings();
        parse({c.option});
        EXPECT_EQ(std::string(c.setting), c.taken) << c.option;
    }
}

TEST_F(options_test, log_size_takes_only_plain_byte_counts_within_its_range) {
    const std::vector<std::pair<std::string, unsigned long>> cases = {
        {"4096", 4096},
        {"65536", 65536},
        {"1073741824", 1073741824},
        {"4095", 0},
        {"", 0},
        {"64K", 0},
        {"-4096", 0},
        {"1073741825", 0},
        {" 8192", 0},
        {"99999999999999999999999", 0},
    };
    for (const auto& [text, taken] : cases) {
        reset_settings();
        EXPECT_EQ(apply_log_size(text.c_str()), taken != 0) << text;
        EXPECT_EQ(log_size, taken != 0 ? taken : default_log_size) << text;
    }
    EXPECT_EXIT(parse({"--log_size=64K"}), ::testing::ExitedWithCode(255),
                "^vorn_restart: --log_size=64K: give a number of bytes from 4096 to 1073741824\n$");
}

TEST_F(options_test, missing_installation_directories_end_with_the_settings_report) {
    temp_dir half;
    half.make_dirs("etc/vorn/vorn_restart");  // no usr/sbin
    const std::string report = "^install_path: " + half.path() + "/\nconfig_path: " + half.path() +
                               "/etc/vorn/vorn_restart/\nsbin_path: " + half.path() +
                               "/usr/sbin/\ncache_path: \n$";
    EXPECT_EXIT(parse({"--install_path=" + half.path()}), ::testing::ExitedWithCode(255), report);
    EXPECT_EXIT(parse({"--install_path=/no/such/root"}), ::testing::ExitedWithCode(255),
                "^install_path: /no/such/root/\nconfig_path");
}

TEST_F(options_test, values_too_long_for_their_settings_are_refused_without_change) {
    // 104 bytes is the longest root whose configuration directory fits.
    const std::string longest(install_path_max, 'r');
    EXPECT_EQ(apply_install_path(("/" + longest.substr(1)).c_str()), path_result::missing);
    EXPECT_EQ(std::strlen(config_path.data()), setting_size - 1);

    reset_settings();
    const std::string too_long(install_path_max + 1, 'r');
    EXPECT_EQ(apply_install_path(too_long.c_str()), path_result::too_long);
    EXPECT_STREQ(install_path.data(), "/");  // nothing changed
    // A cache directory is refused for its length only when it exists.
    const std::string long_cache = root_dir_.make_dirs(std::string(cache_path_max, 'c'));
    EXPECT_EQ(apply_cache_path(long_cache.c_str()), path_result::too_long);
    EXPECT_EQ(apply_cache_path((long_cache + "/absent").c_str()), path_result::ok);
    EXPECT_STREQ(cache_path.data(), "");

    EXPECT_EXIT(parse({"--install_path=" + too_long}), ::testing::ExitedWithCode(255),
                "^vorn_restart: --install_path: value too long \\(at most 104 bytes, not "
                "counting a final /\\)\n$");
    EXPECT_EXIT(parse({"--cache_path=" + long_cache}), ::testing::ExitedWithCode(255),
                "^vorn_restart: --cache_path: value too long \\(at most 126 bytes");
    parse({"--cache_path=/" + std::string(200, 'c')});  // does not exist: ignored
    EXPECT_STREQ(cache_path.data(), "");

    parse({"--log_path=/" + std::string(log_path_max - 1, 'l')});
    EXPECT_EQ(std::strlen(log_path.data()), setting_size - 1);  // with its final '/'
    EXPECT_EXIT(parse({"--log_path=/" + std::string(log_path_max, 'l')}),
                ::testing::ExitedWithCode(255),
                "^vorn_restart: --log_path: value too long \\(at most 126 bytes");

    parse({"--metrics_path=/" + std::string(metrics_path_max - 1, 'm')});
    EXPECT_EQ(std::strlen(metrics_path.data()), metrics_path_max);
    EXPECT_EXIT(parse({"--metrics_path=/" + std::string(metrics_path_max, 'm')}),
                ::testing::ExitedWithCode(255),
                "^vorn_restart: --metrics_path: value too long \\(at most 251 bytes\\)\n$");
    parse({"--watchdog=/" + std::string(watchdog_path_max - 1, 'w')});
    EXPECT_EQ(std::strlen(watchdog_path.data()), watchdog_path_max);
    EXPECT_EXIT(parse({"--watchdog=/" + std::string(watchdog_path_max, 'w')}),
                ::testing::ExitedWithCode(255),
                "^vorn_restart: --watchdog: value too long \\(at most 127 bytes");
}

TEST_F(options_test, cache_path_is_taken_only_when_it_exists) {
    const std::string dir = root_dir_.make_dirs("cache");
    parse({"--cache_path=/no/such/cache"});
    EXPECT_STREQ(cache_path.data(), "");
    parse({"--cache_path=" + dir});
    EXPECT_EQ(std::string(cache_path.data()), dir + "/");
    parse({"--cache_path=" + dir + "/"});
    EXPECT_EQ(std::string(cache_path.data()), dir + "/");
    parse({"--cache_path=/no/such/cache"});
    EXPECT_EQ(std::string(cache_path.data()), dir + "/");  // kept
}

TEST_F(options_test, cache_path_loses_its_vorn_directory_and_backslashes) {
    const std::string vorn = root_dir_.make_dirs("sda1/.vorn");
    parse({"--cache_path=" + vorn});
    EXPECT_EQ(std::string(cache_path.data()), vorn + "/");
    normalise_settings();
    EXPECT_EQ(std::string(cache_path.data()), root_ + "sda1/");

    // The existence check sees the backslashes; the setting used later has slashes.
    const std::string windows = root_dir_.make_dirs("C:\\data");
    parse({"--cache_path=" + windows});
    EXPECT_EQ(std::string(cache_path.data()), windows + "/");
    normalise_settings();
    EXPECT_EQ(std::string(cache_path.data()), root_ + "C:/data/");

    const std::string trailing = root_dir_.make_dirs("D:\\data\\");
    parse({"--cache_path=" + trailing});
    normalise_settings();
    EXPECT_EQ(std::string(cache_path.data()), root_ + "D:/data//");
}

TEST(normalisation, remove_vorn_dir_removes_only_the_first_occurrence) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/mnt/sda1/.vorn/", "/mnt/sda1/"},   {"/x/.vornish/", "/xish/"},
        {"/a/.vorn/b/.vorn/", "/a/b/.vorn/"}, {"/.vorn", ""},
        {"/vorn/.vor/", "/vorn/.vor/"},       {"", ""},
    };
    for (const auto& [in, out] : cases) {
        std::string text = in;
        remove_vorn_dir(text.data());
        EXPECT_STREQ(text.c_str(), out.c_str()) << in;
    }
    std::string slashes = "C:\\a\\\\b";
    to_slashes(slashes.data());
    EXPECT_EQ(slashes, "C:/a//b");
}

TEST_F(options_test, pending_updater_file_is_moved_onto_the_updater) {
    parse({"--install_path=" + root_});
    const std::string sbin = root_ + "usr/sbin/";
    CaptureStdout();
    complete_pending_update();
    EXPECT_EQ(GetCapturedStdout(), "");  // nothing pending, nothing printed

    root_dir_.write("usr/sbin/vorn_update.tmp", "new");
    root_dir_.write("usr/sbin/vorn_update", "old");
    CaptureStdout();
    complete_pending_update();
    EXPECT_EQ(GetCapturedStdout(),
              sbin + "vorn_update.tmp found, rename to " + sbin + "vorn_update\n");
    EXPECT_FALSE(std::filesystem::exists(sbin + "vorn_update.tmp"));
    std::ifstream moved(sbin + "vorn_update");
    std::string content;
    moved >> content;
    EXPECT_EQ(content, "new");
}

// Only a supervisor running as root protects itself, unless told not to;
// its children give the protection up only once it has it.
TEST_F(options_test, oom_protection_is_taken_by_root_alone) {
    static uid_t euid = 0;
    static int set_result = 0;
    static std::vector<int> scores;
    const struct {
        uid_t euid;
        const char* option;  // nullptr: none
        int set_result;
        bool children_reset;
    } rows[] = {
        {0, nullptr, 0, true},
        {1000, nullptr, 0, false},
        {0, "--no_oom_protect", 0, false},
        {0, nullptr, -1, false},
    };
    for (const auto& row : rows) {
        reset_settings();
        if (row.option != nullptr) parse({row.option});
        euid = row.euid;
        set_result = row.set_result;
        scores.clear();
        sys.effective_user = [] { return euid; };
        sys.set_oom_score = [](int value) {
            scores.push_back(value);
            return set_result;
        };
        children_reset_oom_score = false;
        CaptureStderr();
        protect_from_oom();
        GetCapturedStderr();
        sys = real_system_ops;
        EXPECT_EQ(children_reset_oom_score, row.children_reset) << row.euid;
        const bool tried = row.euid == 0 && row.option == nullptr;
        EXPECT_EQ(scores, tried ? std::vector<int>{-1000} : std::vector<int>{}) << row.euid;
    }
    children_reset_oom_score = false;
}

}  // namespace
}  // namespace vorn
