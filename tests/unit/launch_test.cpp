#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/inherited.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/launch.hpp"

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

}  // namespace
}  // namespace vorn
