#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/inherited.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/launch.hpp"
#include "supervise/record.hpp"
#include "tasks/task_settings.hpp"

namespace vorn {
namespace {

using launch_test = testing::supervisor_test;

std::vector<std::string> argv_of(const task_info& t) {
    child_argv argv{};
    const std::size_t n = build_child_argv(t, argv);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) out.emplace_back(argv[i]);
    EXPECT_EQ(argv[n], nullptr);
    return out;
}

TEST_F(launch_test, argument_vector_is_path_arguments_then_settings) {
    copy_text(install_path, "/opt/x/");
    task_info t = empty_task;
    copy_text(t.task_name, "w");
    copy_text(t.task_path, "/opt/x/usr/sbin/w");
    EXPECT_EQ(argv_of(t),
              (std::vector<std::string>{"/opt/x/usr/sbin/w", "--install_path=/opt/x/"}));

    copy_text(cache_path, "/mnt/sda1/");
    for (std::size_t k = 0; k < task_argument_count; ++k)
        copy_text(t.task_argument[k], "a" + std::to_string(k));
    EXPECT_EQ(argv_of(t), (std::vector<std::string>{
                              "/opt/x/usr/sbin/w", "a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7",
                              "--install_path=/opt/x/", "--cache_path=/mnt/sda1/"}));

    t.task_argument[1][0] = '\0';  // the list ends at the first empty entry
    EXPECT_EQ(argv_of(t),
              (std::vector<std::string>{"/opt/x/usr/sbin/w", "a0", "--install_path=/opt/x/",
                                        "--cache_path=/mnt/sda1/"}));
}

TEST_F(launch_test, library_path_is_given_back_its_startup_value) {
    const char* before = saved_ld_library_path;
    saved_ld_library_path = "/saved/lib";
    ::setenv("LD_LIBRARY_PATH", "/changed", 1);
    restore_ld_library_path();
    EXPECT_STREQ(std::getenv("LD_LIBRARY_PATH"), "/saved/lib");
    saved_ld_library_path = nullptr;  // absent at start-up: left as it is
    ::setenv("LD_LIBRARY_PATH", "/changed", 1);
    restore_ld_library_path();
    EXPECT_STREQ(std::getenv("LD_LIBRARY_PATH"), "/changed");
    ::unsetenv("LD_LIBRARY_PATH");
    saved_ld_library_path = before;
}

// A child whose exec fails reports it, ends with 255 and never flushes what
// the parent had buffered: that output must appear once, from the parent.
TEST_F(launch_test, failed_exec_reports_and_leaves_parent_buffers_alone) {
    int err_pipe[2], out_pipe[2];
    ASSERT_EQ(::pipe(err_pipe), 0);
    ASSERT_EQ(::pipe(out_pipe), 0);
    std::FILE* buffered = ::fdopen(out_pipe[1], "w");
    ASSERT_NE(buffered, nullptr);
    static char buffer[256];
    std::setvbuf(buffered, buffer, _IOFBF, sizeof buffer);
    std::fputs("parent line\n", buffered);  // still in the buffer

    task_info t = empty_task;
    copy_text(t.task_name, "missing task");
    copy_text(t.task_path, "/nonexistent/dir/missing task");
    child_argv argv{};
    build_child_argv(t, argv);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(err_pipe[1], STDERR_FILENO);
        exec_task(t, argv.data());
    }
    ::close(err_pipe[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);

    char text[512] = {};
    const ssize_t n = ::read(err_pipe[0], text, sizeof text - 1);
    EXPECT_EQ(std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0),
              "execlp(missing task, missing task): No such file or directory\n");
    ::close(err_pipe[0]);

    std::fclose(buffered);  // the parent's flush: the one and only copy
    std::string out;
    char chunk[64];
    for (ssize_t r; (r = ::read(out_pipe[0], chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<std::size_t>(r));
    ::close(out_pipe[0]);
    EXPECT_EQ(out, "parent line\n");
}

// The child's steps through a fake system: each call is logged, and the
// one named `failing` fails with EPERM (identity_now then tells uid 0).
struct child_calls {
    static inline std::string failing;
    static inline std::string log;
    static inline char* const* exec_envp = nullptr;
    static int call(const std::string& name, const std::string& what) {
        log += what + " ";
        if (name != failing) return 0;
        errno = EPERM;
        return -1;
    }
    static void install() {
        failing.clear();
        log.clear();
        exec_envp = nullptr;
        sys.write_descriptor = [](int, const char*, std::size_t) { return call("join", "join"); };
        sys.set_oom_score = [](int v) { return call("oom", "oom:" + std::to_string(v)); };
        sys.set_limit = [](int r, std::uint64_t v) {
            return call("limit", "limit:" + std::to_string(r) + ":" + std::to_string(v));
        };
        sys.set_nice = [](int v) { return call("nice", "nice:" + std::to_string(v)); };
        sys.drop_bounding_capability = [](int n) {
            if (n >= 41) return errno = EINVAL, -1;  // past the kernel's last
            return n == 0 ? call("bound", "bound") : 0;
        };
        sys.keep_capabilities = [] { return call("keep", "keep"); };
        sys.set_groups = [](const gid_t*, std::size_t n) {
            return call("groups", "groups:" + std::to_string(n));
        };
        sys.set_group_id = [](gid_t g) { return call("gid", "gid:" + std::to_string(g)); };
        sys.set_user_id = [](uid_t u) { return call("uid", "uid:" + std::to_string(u)); };
        // "identity": setuid "worked", still root; "identity:N": only id N
        // (real, effective and saved uid, then gid) is still 0.
        sys.identity_now = [](uid_t uids[3], gid_t gids[3]) {
            const bool root = failing == "identity";
            const int spoilt = failing.rfind("identity:", 0) == 0 ? failing[9] - '0' : -1;
            for (int i = 0; i < 3; ++i) {
                uids[i] = root || spoilt == i ? 0 : 65534;
                gids[i] = spoilt == i + 3 ? 0 : 33;
            }
        };
        sys.set_capabilities = [](std::uint64_t k) {
            return call("caps", "caps:" + std::to_string(k));
        };
        sys.raise_ambient_capability = [](int n) {
            return call("ambient", "ambient:" + std::to_string(n));
        };
        sys.change_directory = [](const char* d) { return call("dir", std::string("dir:") + d); };
        sys.forbid_new_privileges = [] { return call("nnp", "nnp"); };
        sys.exec_program = [](const char*, char* const[], char* const envp[]) {
            exec_envp = envp;
            call("exec", "exec");
            errno = ENOENT;
            return -1;
        };
    }
};

task_settings www_settings() {
    task_settings s{};
    s.identity = true;
    s.uid = 65534;
    s.gid = 33;
    copy_text(s.user_name, "www");
    s.group_count = 2;
    copy_text(s.directory, "/srv/x");
    s.limits_set = 1U << limit_open_files;
    s.limits[limit_open_files] = 64;
    s.nice_set = true;
    s.nice = 5;
    s.no_new_privileges = true;
    s.capabilities_set = true;
    s.capabilities = 1ULL << 10;  // net_bind_service
    return s;
}

TEST_F(launch_test, a_failing_step_stops_the_child_before_its_program) {
    struct row {
        const char* failing;
        start_step step;
        const char* text;
    };
    const row rows[] = {
        {"oom", start_step::oom_score, "cannot set oom_score_adj to 0: Operation not permitted"},
        {"limit", start_step::limit,
         "cannot set the limit open_files to 64: Operation not permitted"},
        {"nice", start_step::nice, "cannot set nice to 5: Operation not permitted"},
        {"bound", start_step::bounding_set,
         "cannot drop chown from the bounding set: Operation not permitted"},
        {"keep", start_step::keep_capabilities,
         "cannot keep its capabilities across the change of user: Operation not permitted"},
        {"groups", start_step::groups,
         "cannot take the supplementary groups of www: Operation not permitted"},
        {"gid", start_step::gid, "cannot take gid 33: Operation not permitted"},
        {"uid", start_step::uid, "cannot take uid 65534: Operation not permitted"},
        {"identity", start_step::identity, "cannot hold uid 65534 and gid 33 after taking them"},
        {"identity:0", start_step::identity, "cannot hold uid 65534 and gid 33 after taking them"},
        {"identity:1", start_step::identity, "cannot hold uid 65534 and gid 33 after taking them"},
        {"identity:2", start_step::identity, "cannot hold uid 65534 and gid 33 after taking them"},
        {"identity:3", start_step::identity, "cannot hold uid 65534 and gid 33 after taking them"},
        {"identity:4", start_step::identity, "cannot hold uid 65534 and gid 33 after taking them"},
        {"identity:5", start_step::identity, "cannot hold uid 65534 and gid 33 after taking them"},
        {"caps", start_step::capabilities,
         "cannot keep only the capabilities asked for: Operation not permitted"},
        {"ambient", start_step::ambient,
         "cannot raise the ambient capability net_bind_service: Operation not permitted"},
        {"dir", start_step::directory,
         "cannot change to directory /srv/x: Operation not permitted"},
        {"nnp", start_step::no_new_privileges,
         "cannot set no_new_privileges: Operation not permitted"},
        // A child that cannot join its cgroup never runs its program.
        {"join", start_step::cgroup, "cannot join its cgroup: Operation not permitted"},
    };
    const task_settings settings = www_settings();
    task_info t = empty_task;
    copy_text(t.task_name, "worker");
    child_argv argv{};
    build_child_argv(t, argv);
    for (const row& r : rows) {
        child_calls::install();
        child_calls::failing = r.failing;
        child_plan plan = plan_child(&settings, true);
        plan.cgroup_join_fd = 5;
        const start_failure f = run_child(t, argv.data(), nullptr, plan);
        EXPECT_EQ(f.step, r.step) << r.failing;
        EXPECT_EQ(child_calls::log.find("exec") != std::string::npos, r.step == start_step::exec)
            << r.failing;
        std::array<char, start_failure_text_size> text{};
        describe_start_failure(f, &settings, "cannot ", text.data(), text.size());
        EXPECT_STREQ(text.data(), r.text);
    }
    // In order, everything asked for, the identity before the capabilities it keeps.
    child_calls::install();
    child_plan plan = plan_child(&settings, true);
    plan.cgroup_join_fd = 5;
    run_child(t, argv.data(), nullptr, plan);
    EXPECT_EQ(child_calls::log,
              "join oom:0 limit:7:64 nice:5 bound keep groups:2 gid:33 uid:65534 caps:1024 "
              "ambient:10 dir:/srv/x nnp exec ");
    // A user in its primary group alone still sets its groups: the
    // supervisor's own never reach the task.
    task_settings alone = settings;
    alone.group_count = 1;
    child_calls::install();
    run_child(t, argv.data(), nullptr, plan_child(&alone, false));
    EXPECT_NE(child_calls::log.find(" groups:1 gid:33 uid:65534 "), std::string::npos)
        << child_calls::log;
}

// The real limit step, in a child of the test: soft and hard limit both,
// so that the task cannot raise the soft one back.
TEST(launch_real_test, a_limit_sets_the_soft_and_the_hard_limit) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rlimit got{};
        const bool set = real_system_ops.set_limit(RLIMIT_CORE, 4096) == 0 &&
                         ::getrlimit(RLIMIT_CORE, &got) == 0;
        ::_exit(!set ? 2 : got.rlim_cur == 4096 && got.rlim_max == 4096 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(launch_test, children_without_settings_give_up_only_the_oom_protection) {
    task_info t = empty_task;
    child_argv argv{};
    build_child_argv(t, argv);
    child_calls::install();
    run_child(t, argv.data(), nullptr, plan_child(nullptr, true));
    EXPECT_EQ(child_calls::log, "oom:0 exec ");
    child_calls::install();
    run_child(t, argv.data(), nullptr, plan_child(nullptr, false));
    EXPECT_EQ(child_calls::log, "exec ");
    EXPECT_EQ(child_calls::exec_envp, nullptr);  // execvp, the environment as it is
}

TEST_F(launch_test, environment_adds_and_overrides_and_never_drops) {
    std::array<char*, 5> inherited{const_cast<char*>("PATH=/bin"), const_cast<char*>("HOME=/root"),
                                   const_cast<char*>("USER=root"), const_cast<char*>("PWD=/"),
                                   nullptr};
    char** const saved = environ;
    environ = inherited.data();
    task_settings s{};
    bool fits = false;
    EXPECT_EQ(build_child_environment(&s, &fits), nullptr);
    const struct {
        bool identity;
        const char* login;
        const char* home;
        const char* directory;
        std::vector<std::string> variables;
        std::vector<std::string> environment;
    } rows[] = {
        // The last entry overrides an inherited name as the first does.
        {false,
         "",
         "",
         "",
         {"HOM=x", "HOME=/srv"},
         {"PATH=/bin", "USER=root", "PWD=/", "HOM=x", "HOME=/srv"}},
        {true,
         "www",
         "/var/www",
         "/srv/x",
         {},
         {"PATH=/bin", "HOME=/var/www", "USER=www", "LOGNAME=www", "PWD=/srv/x"}},
        {true,
         "5000",
         "/",
         "",
         {"A=1", "LOGNAME=w"},
         {"PATH=/bin", "PWD=/", "HOME=/", "USER=5000", "A=1", "LOGNAME=w"}},
        {false, "", "", "/tmp", {"PWD=/x"}, {"PATH=/bin", "HOME=/root", "USER=root", "PWD=/x"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.login + std::string(" ") + row.directory);
        s = task_settings{};
        s.identity = row.identity;
        copy_text(s.login, row.login);
        copy_text(s.home, row.home);
        copy_text(s.directory, row.directory);
        for (const std::string& variable : row.variables)
            copy_text(s.variables[s.variable_count++], variable);
        char* const* envp = build_child_environment(&s, &fits);
        ASSERT_NE(envp, nullptr);
        std::vector<std::string> got;
        for (; *envp != nullptr; ++envp) got.emplace_back(*envp);
        EXPECT_TRUE(fits);
        EXPECT_EQ(got, row.environment);
    }
    s = task_settings{};
    s.variable_count = 1;
    std::vector<char*> many(child_environment_max + 1, const_cast<char*>("A=1"));
    many.push_back(nullptr);
    environ = many.data();
    build_child_environment(&s, &fits);
    EXPECT_FALSE(fits);  // the child then stops at its environment step
    environ = saved;
}

// A pass's start with settings keeps a report for the slot: a failed step
// becomes the slot's start failure when its end is recorded, and a later
// start that executes its program clears it, as does one whose exec fails
// (no step before the program failed: its end and its executable tell).
TEST_F(launch_test, start_failure_is_kept_until_a_start_executes) {
    clear_task_settings();
    copy_text(task_table[3].task_name, "worker");
    task_settings_used[3] = true;
    task_settings_table[3] = www_settings();
    static int reads = 0;
    static start_failure told{};
    sys.read_some = [](int fd, char* buf, std::size_t len) -> long {
        if (fd != testing::fake_system::report_fd || reads++ > 0) return 0;
        std::memcpy(buf, &told, len);
        return static_cast<long>(sizeof told);
    };
    for (const start_step then : {start_step::none, start_step::exec}) {
        SCOPED_TRACE(then == start_step::exec ? "exec failed" : "executed");
        told = {EPERM, start_step::uid, 0, {}};
        reads = 0;
        ASSERT_GT(start_task(3), 0);
        record_started(3);
        record_end_seen(3, testing::exit_status(255));
        EXPECT_STREQ(current_record.slots[3].start_failure.data(),
                     "cannot take uid 65534: Operation not permitted");
        told = {ENOENT, start_step::exec, 0, {}};
        reads = then == start_step::exec ? 0 : 1;  // 1: the pipe's end, executed
        ASSERT_GT(start_task(3), 0);
        record_start_reports();
        EXPECT_STREQ(current_record.slots[3].start_failure.data(), "");
    }
    EXPECT_EQ(std::count(testing::fake_system::closed.begin(), testing::fake_system::closed.end(),
                         testing::fake_system::report_fd),
              4);  // each report closed once it told
    clear_task_settings();
}

}  // namespace
}  // namespace vorn
