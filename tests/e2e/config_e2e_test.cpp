// The real binary reading its configuration file and honouring markers.
#include <cstdio>
#include <filesystem>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

const char* const long_running = "exec sleep 1000";

TEST(config_e2e, configured_task_gets_its_arguments_then_the_settings) {
    installation inst;
    const std::string worker = unique_name("worker");
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(worker, long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" +
                worker + R"(", "argument": ["-v", "two words", "--cp=42", "", "cut"]}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return !inst.starts(worker).empty(); })) << sup.err();
    const std::string line = inst.starts(worker)[0];
    EXPECT_EQ(line.substr(line.find(' ')),
              " -v two words --cp=42 --install_path=" + inst.root() + "/");
    EXPECT_NE(read_file(inst.killall_log()).find("[" + worker + "]\n"), std::string::npos);
    EXPECT_NE(sup.out().find("task_info_size: 5\n"), std::string::npos);
}

// A task whose privileges are unknown or ambiguous (a user that does not
// exist, "user" given twice, a key misspelt): that task never runs (not as
// root either), the others do, and the checker names the cause in both of
// its views.
TEST(config_e2e, a_task_whose_privileges_are_unsure_never_runs_and_the_checker_says_why) {
    const struct {
        std::string keys;  // the refused worker's
        std::string reason;
        std::string checker_line;  // a line of the configuration report besides
    } rows[] = {
        {R"("user": "vorn-no-such-user")", "user vorn-no-such-user does not exist",
         "  runs as: user nobody (uid "},
        {R"("user": "nobody", "capabilities": [], "user": "root")",
         "\"user\" is given 2 times: the entry must say it once", "  limits: open_files 64\n"},
        {R"("user": "nobody", "capabilites": ["net_raw"])",
         "\"capabilites\" is no key of a task entry: did you mean \"capabilities\"?",
         "fault: tasks[1] (\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keys);
        installation inst;
        const std::string worker = unique_name("worker");
        const std::string other = unique_name("other");
        inst.task("vorn_update", long_running);
        inst.task(worker, long_running);
        inst.task(other, long_running);
        // other runs as nobody: it must reach its script and write its log.
        std::filesystem::permissions(inst.root(), std::filesystem::perms(0755));
        std::filesystem::permissions(inst.root() + "/log", std::filesystem::perms(0777));
        inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": ")" + worker + "\", " +
                    row.keys + R"(}, {"name": ")" + other +
                    R"(", "user": "nobody", "limits": {"open_files": 64}}]})");
        const program_result report =
            run_on_clock(inst, {VORN_CHECK_BINARY, "--install_path=" + inst.root()});
        EXPECT_EQ(report.status, 1) << report.out;
        EXPECT_NE(report.out.find("  refused: " + row.reason + " (never started)\n"),
                  std::string::npos)
            << report.out;
        EXPECT_NE(report.out.find(row.checker_line), std::string::npos) << report.out;
        supervisor sup(inst);
        ASSERT_TRUE(wait_until([&] { return !inst.starts(other).empty(); })) << sup.err();
        const std::size_t passes = inst.events().size();
        ASSERT_TRUE(wait_until([&] { return inst.events().size() > passes + 2; }));
        EXPECT_TRUE(inst.starts(worker).empty());
        const program_result status = run_on_clock(
            inst, {VORN_CHECK_BINARY, "--status", "--status_path=" + inst.status_file(),
                   "--install_path=" + inst.root()});
        EXPECT_EQ(status.status, 1) << status.out;
        EXPECT_NE(status.out.find(worker + ": refused, never started: " + row.reason),
                  std::string::npos)
            << status.out;
    }
}

// A limit too large for the parser, written in after the updater's exit 0
// has let the tasks run: at the next turn it refuses that task alone, and
// every other task, the updater included, is started again.
TEST(config_e2e, a_number_too_large_refuses_its_task_alone_at_the_next_turn) {
    installation inst;
    const std::string worker = unique_name("worker");
    const std::string other = unique_name("other");
    inst.task("vorn_update", "sleep 1; exit 0");
    inst.task(worker, long_running);
    inst.task(other, long_running);
    const auto config = [&](const std::string& limit) {
        inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": ")" + worker +
                    R"(", "limits": {"core": )" + limit + R"(}}, {"name": ")" + other + R"("}]})");
    };
    config("0");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return !inst.starts(worker).empty(); })) << sup.err();
    config("18446744073709551615");
    const std::size_t updates = inst.starts("vorn_update").size();
    const std::size_t others = inst.starts(other).size();
    ASSERT_TRUE(wait_until([&] {
        return inst.starts("vorn_update").size() > updates + 1 &&
               inst.starts(other).size() > others;
    })) << sup.err();
    const std::size_t workers = inst.starts(worker).size();
    ASSERT_TRUE(wait_until([&] { return inst.starts(other).size() > others + 1; })) << sup.err();
    EXPECT_EQ(inst.starts(worker).size(), workers);
    const std::string reason =
        "\"limits\".\"core\" is 18446744073709551615: give at most "
        "9223372036854775807, or \"unlimited\" for no limit";
    const program_result status =
        run_on_clock(inst, {VORN_CHECK_BINARY, "--status", "--status_path=" + inst.status_file(),
                            "--install_path=" + inst.root()});
    EXPECT_NE(status.out.find(worker + ": refused, never started: " + reason), std::string::npos)
        << status.out;
}

TEST(config_e2e, change_takes_effect_at_the_next_turn) {
    installation inst;
    const std::string first = unique_name("first");
    const std::string second = unique_name("second");
    inst.task("vorn_update", "sleep 0.5; exit 0");
    inst.task("vorn_monitor", long_running);
    inst.task(first, long_running);
    inst.task(second, long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": ")" + first + R"("}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] { return !inst.starts(first).empty(); })) << sup.err();
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": ")" + second + R"("}]})");
    ASSERT_TRUE(wait_until([&] { return !inst.starts(second).empty(); })) << sup.err();
    EXPECT_NE(sup.err().find("kill " + first + "\n"), std::string::npos);
    // The monitor was never configured and slot 1 now holds the new task.
    EXPECT_TRUE(inst.starts("vorn_monitor").empty());
    // The file gone: the task killed at the updater's next exit 0 is reaped
    // in the wait, not left a zombie until a usable file comes.
    std::filesystem::remove(inst.config_file());
    ASSERT_TRUE(wait_until([&] { return count_of(sup.err(), "fopen: ") >= 1; })) << sup.err();
    EXPECT_TRUE(wait_until([&] { return sup.children().empty(); }, 5s))
        << sup.zombie_children() << " zombies";
}

TEST(config_e2e, kill_by_name_output_is_dropped_but_complaints_about_configured_tasks) {
    installation inst;
    const std::string worker = unique_name("worker");
    inst.task("vorn_update", long_running);
    inst.task(worker, long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": ")" + worker + R"("}]})");
    supervisor sup(inst, {.environment = {{"VORN_TEST_KILLALL_TALK", "1"}}});
    ASSERT_TRUE(wait_until([&] { return !inst.starts(worker).empty(); })) << sup.err();
    // Two runs: the two built-in names, then the two configured ones.
    EXPECT_EQ(inst.killall_calls(),
              (std::vector<std::string>{"[-9][--][vorn_update][vorn_monitor]",
                                        "[-9][--][vorn_update][" + worker + "]"}));
    EXPECT_EQ(count_of(sup.out(), "killall stdout"), 0u);
    EXPECT_EQ(count_of(sup.err(), "killall stderr: -9 -- vorn_update " + worker + "\n"), 1u);
    EXPECT_EQ(count_of(sup.err(), "killall stderr: -9 -- vorn_update vorn_monitor\n"), 0u);
}

TEST(config_e2e, missing_or_unusable_file_is_retried_without_starting_anything) {
    installation inst;
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    const std::string worker = unique_name("worker");
    inst.task(worker, long_running);
    supervisor sup(inst);
    ASSERT_TRUE(
        wait_until([&] { return count_of(sup.err(), "fopen: No such file or directory\n") >= 2; }));
    inst.config(R"({"tasks": [{"name": ")" + worker + R"("}, {"mode": "once"}]})");
    const std::size_t kills = inst.killall_calls().size();
    ASSERT_TRUE(wait_until([&] { return inst.killall_calls().size() >= kills + 6; }));
    EXPECT_TRUE(inst.starts("vorn_update").empty());
    EXPECT_TRUE(inst.starts(worker).empty());
    EXPECT_EQ(sup.out().find("task_info_size"), std::string::npos);
    // A task named like the supervisor: its kill-by-name would end the
    // supervisor itself, so the file is refused before that name is killed.
    inst.config(R"({"tasks": [{"name": ")" + worker + R"("}, {"name": "vorn_restart"}]})");
    const std::size_t before = inst.killall_calls().size();
    ASSERT_TRUE(wait_until([&] { return inst.killall_calls().size() >= before + 6; }));
    for (const std::string& call : inst.killall_calls())
        EXPECT_EQ(call.find("[vorn_restart]"), std::string::npos) << call;
    EXPECT_TRUE(inst.starts(worker).empty());
    EXPECT_TRUE(sup.running());
    inst.config(R"({"tasks": [{"name": ")" + worker + R"("}]})");
    // Slot 1 is started right after slot 0: its script may log a moment later.
    ASSERT_TRUE(wait_until([&] {
        return !inst.starts(worker).empty() && !inst.starts("vorn_monitor").empty();
    })) << sup.err();
    EXPECT_EQ(inst.starts("vorn_monitor").size(), 1u);
}

TEST(config_e2e, fifo_in_place_of_the_file_never_stalls_the_cycle) {
    installation inst;
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    ASSERT_EQ(::mkfifo(inst.config_file().c_str(), 0644), 0);
    supervisor sup(inst);
    // Each new turn kills the built-ins by name again: turns keep coming.
    ASSERT_TRUE(wait_until([&] { return inst.killall_calls().size() >= 6; })) << sup.err();
    EXPECT_TRUE(inst.starts("vorn_update").empty());
    std::filesystem::remove(inst.config_file());
    inst.config(R"({"tasks": []})");
    ASSERT_TRUE(wait_until([&] { return !inst.starts("vorn_update").empty(); }));
}

TEST(config_e2e, marker_holds_a_task_back_while_it_exists) {
    installation inst;
    const std::string worker = unique_name("worker");
    marker m(worker);
    m.create();
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.task(worker, "sleep 0.2");
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                              {"name": ")" +
                worker + R"("}]})");
    supervisor sup(inst);
    const std::string line = worker + " not run: " + m.path + "\n";
    ASSERT_TRUE(wait_until([&] { return count_of(sup.out(), line) >= 3; })) << sup.out();
    EXPECT_TRUE(inst.starts(worker).empty());
    m.remove();
    ASSERT_TRUE(wait_until([&] { return inst.starts(worker).size() >= 2; })) << sup.out();
    // Back again: the task is not restarted once it has ended.
    m.create();
    const std::size_t held = count_of(sup.out(), line);
    ASSERT_TRUE(wait_until([&] { return count_of(sup.out(), line) >= held + 3; }));
    const std::size_t starts = inst.starts(worker).size();
    ASSERT_TRUE(wait_until([&] { return count_of(sup.out(), line) >= held + 6; }));
    EXPECT_EQ(inst.starts(worker).size(), starts);
}

TEST(config_e2e, name_full_of_shell_characters_runs_nothing) {
    installation inst;
    const std::string witness = inst.root() + "/pwned";
    const std::string name = "x; touch pwned & echo $(touch pwned) `touch pwned` > pwned";
    const std::string dash = "-e";
    inst.task("vorn_update", long_running);
    inst.task("vorn_monitor", long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
                              {"name": ")" +
                name + R"("}, {"name": ")" + dash + R"("}]})");
    supervisor sup(inst);
    ASSERT_TRUE(wait_until([&] {
        return count_of(sup.err(), "execlp(" + name + ", " + name + "): No such file") >= 2;
    })) << sup.err();
    EXPECT_FALSE(std::filesystem::exists(witness));
    const std::string calls = read_file(inst.killall_log());
    // Each name one whole argument after --, in the run of the configured names.
    EXPECT_NE(calls.find("\n[-9][--][vorn_update][vorn_monitor][" + name + "][-e]\n"),
              std::string::npos)
        << calls;
}

TEST(config_e2e, demo_installation_starts_its_tasks) {
    installation inst;
    inst.copy_from(VORN_EXAMPLES);
    supervisor sup(inst, {.extra_arguments = {"--cache_path=" + inst.cache()}});
    ASSERT_TRUE(wait_until([&] {
        const std::string out = sup.out();
        return count_of(out, "vorn_update: run 1") == 1 &&
               count_of(out, "vorn_monitor: started") == 1 &&
               count_of(out, "demo_once: started") == 1 &&
               count_of(out, "demo_variant: started") == 1;
    })) << sup.out()
        << sup.err();
    EXPECT_NE(sup.out().find("arguments: --cp=2 --install_path=" + inst.root() + "/ --cache_path="),
              std::string::npos);
    EXPECT_NE(sup.out().find("task_info_size: 6\n"), std::string::npos);
}

// What a task entry's settings give the program: each row runs a worker with
// the keys given, and the worker writes what it sees (identity, limits,
// directory, environment, privileges, OOM score) where any user may write.
TEST(config_e2e, task_settings_reach_the_program) {
    const passwd* entry = ::getpwnam("nobody");
    const bool nobody = entry != nullptr;
    const std::string home = nobody ? entry->pw_dir : "";
    const struct {
        std::string keys;  // members added to the worker's entry
        std::vector<std::string> seen;
        bool needs_nobody = false;
    } rows[] = {
        {"", {"oom 0\n"}},  // the supervisor's own is -1000
        {R"("user": "nobody")", {"uid 65534 gid 65534 groups 65534\n"}, true},
        {R"("limits": {"open_files": 64, "core": "unlimited"})",
         {"nofile 64\n", "core unlimited\n"}},
        {R"("directory": "/tmp")", {"pwd /tmp\n"}},
        {R"("user": "nobody", "directory": "/tmp", "environment": {"LOGNAME": "mine"})",
         {"pwd /tmp\n", "names HOME=" + home + " USER=nobody LOGNAME=mine\n"},
         true},
        {R"("environment": {"VORN_E2E_OLD": "replaced", "VORN_E2E_NEW": "added"})",
         {"env replaced added\n"}},
        {R"("no_new_privileges": true)", {"NoNewPrivs:\t1\n"}},
        {R"("user": "nobody", "capabilities": ["net_bind_service"])",
         {"uid 65534", "CapAmb:\t0000000000000400\n"},
         true},
        {R"("oom_score_adjust": 300, "nice": 5)", {"oom 300\n", "nice 5\n"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keys);
        if (row.needs_nobody && !nobody) {
            std::puts("skipped: no user nobody on this machine");
            continue;
        }
        installation inst;
        const std::string worker = unique_name("worker");
        const std::string seen = inst.root() + "/seen/facts";
        std::filesystem::create_directories(inst.root() + "/seen");
        // The worker runs as nobody in some rows: it must reach its script and its file.
        std::filesystem::permissions(inst.root(), std::filesystem::perms(0755));
        std::filesystem::permissions(inst.root() + "/seen", std::filesystem::perms(0777));
        inst.task("vorn_update", long_running);
        inst.write(inst.sbin() + worker,
                   "#!/bin/sh\n{ echo \"uid $(id -u) gid $(id -g) groups $(id -G)\"\n"
                   "echo \"nofile $(ulimit -n)\"; echo \"core $(ulimit -c)\"; echo \"pwd $PWD\"\n"
                   "echo \"env $VORN_E2E_OLD $VORN_E2E_NEW\"\n"
                   "echo \"names HOME=$HOME USER=$USER LOGNAME=$LOGNAME\"\n"
                   "echo \"oom $(cat /proc/$$/oom_score_adj)\"\n"
                   "read -r stat < /proc/$$/stat; set -- ${stat##*) }; echo \"nice ${17}\"\n"
                   "grep -E '^(NoNewPrivs|CapAmb)' /proc/$$/status; } > " +
                       seen + ".new && mv " + seen + ".new " + seen + "\nexec sleep 1000\n",
                   true);
        const std::string comma = row.keys.empty() ? "" : ", ";
        inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": ")" + worker + "\"" + comma +
                    row.keys + "}]}");
        supervisor sup(inst, {.environment = {{"VORN_E2E_OLD", "inherited"}}});
        ASSERT_TRUE(wait_until([&] { return !read_file(seen).empty(); }, 10s)) << sup.err();
        for (const std::string& fact : row.seen)
            EXPECT_NE(read_file(seen).find(fact), std::string::npos) << read_file(seen);
        // The status file says whether the kernel granted the protection.
        ASSERT_TRUE(wait_until([&] {
            return read_file(inst.status_file()).find("\"oom_protection\":{") != std::string::npos;
        })) << read_file(inst.status_file());
        if (read_file(inst.status_file()).find("\"oom_protection\":{\"works\":false") !=
            std::string::npos) {
            std::puts("skipped: this machine refuses oom_score_adj -1000 to the supervisor");
            continue;
        }
        EXPECT_EQ(read_file("/proc/" + std::to_string(sup.pid()) + "/oom_score_adj"), "-1000\n");
    }
}

// A step that fails before the program: it never runs, and the status, the
// checker and the control client say which step and why.
TEST(config_e2e, a_task_whose_settings_cannot_be_applied_never_runs) {
    installation inst;
    const std::string worker = unique_name("worker");
    inst.task("vorn_update", long_running);
    inst.task(worker, long_running);
    inst.config(R"({"tasks": [{"name": "vorn_update"}, {"name": ")" + worker +
                R"(", "directory": "/nonexistent/x"}]})");
    supervisor sup(inst);
    const std::string why = "cannot change to directory /nonexistent/x: No such file or directory";
    ASSERT_TRUE(wait_until([&] {
        return read_file(inst.status_file()).find("\"start_failure\":\"" + why) !=
               std::string::npos;
    })) << sup.err();
    EXPECT_TRUE(inst.starts(worker).empty());
    EXPECT_NE(sup.err().find(worker + " not started: " + why + "\n"), std::string::npos);
    const program_result check =
        run_on_clock(inst, {VORN_CHECK_BINARY, "--install_path=" + inst.root(), "--status",
                            "--status_path=" + inst.status_file()});
    EXPECT_NE(check.out.find("its program never ran: " + why), std::string::npos) << check.out;
    const program_result ctl = run_on_clock(
        inst, {VORN_CTL_BINARY, "restart", worker, "--status_path=" + inst.status_file(),
               "--install_path=" + inst.root()});
    EXPECT_NE(ctl.out.find("could not change to directory /nonexistent/x"), std::string::npos)
        << ctl.out << ctl.err;
    EXPECT_TRUE(inst.starts(worker).empty());
}

}  // namespace
}  // namespace vorn::e2e
