// A task's unit: the parsers of what the kernel's files say, and the ends
// of a whole unit through the fake system.
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/process_units.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/unit.hpp"

namespace vorn::testing {
namespace {

TEST(process_units, parsers_take_numbers_only_within_range) {
    std::array<pid_t, 8> pids{};
    const std::size_t n = parse_pid_list("12\n1\n0\n-3\nabc\n99999999\n4194304\n", pids.data(), 8);
    EXPECT_EQ(std::vector<pid_t>(pids.begin(), pids.begin() + n),
              (std::vector<pid_t>{12, 4194304}));
    unsigned long long value = 0;
    const struct {
        const char* text;
        bool ok;
        unsigned long long value;
    } cpu_rows[] = {{"usage_usec 1500\nuser_usec 1\n", true, 1500},
                    {"usage_usec 99999999999999999999\n", false, 0},
                    {"usage_usec -5\n", false, 0},
                    {"user_usec 7\n", false, 0}};
    for (const auto& row : cpu_rows) {
        value = 0;
        EXPECT_EQ(parse_cpu_usage(row.text, &value), row.ok) << row.text;
        EXPECT_EQ(value, row.value) << row.text;
    }
    EXPECT_FALSE(parse_single_number("12 13\n", &value));
    cgroup_path path{};
    EXPECT_TRUE(
        parse_cgroup2_mount("30 1 0:26 / /sys/fs/cgroup rw - cgroup cgroup rw\n"
                            "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
                            path.data(), path.size()));
    EXPECT_STREQ(path.data(), "/sys/fs/cgroup/unified");
    EXPECT_FALSE(parse_v2_cgroup("1:pids:/\n0::relative\n", path.data(), path.size()));
    process_times times{};
    EXPECT_FALSE(parse_process_times("12 (a) S 99999999 1 1", &times));
}

TEST(process_units, only_a_cgroup_below_the_mount_and_a_plain_name_are_used) {
    const struct {
        const char* path;
        bool below;
    } rows[] = {{"/sys/fs/cgroup/a/worker", true},
                {"/sys/fs/cgroup/../etc", false},
                {"/sys/fs/cgroup/a/./b", false},
                {"/sys/fs/cgroupx/worker", false},
                {"/etc/worker", false},
                {"/sys/fs/cgroup", false}};
    for (const auto& row : rows)
        EXPECT_EQ(cgroup_below(row.path, "/sys/fs/cgroup"), row.below) << row.path;
    for (const char* name : {".", "..", ".hidden", "cgroup.procs", "memory.max"})
        EXPECT_FALSE(cgroup_name_usable(name)) << name;
    EXPECT_TRUE(cgroup_name_usable("worker"));
}

class unit_end_test : public supervisor_test {
protected:
    void SetUp() override {
        supervisor_test::SetUp();
        fake_files::reset();
        reset_units();
        fake_files::install();
        // main 1000 with a child and a grandchild; a stranger; the supervisor
        // itself and pid 1 as if they were in the unit.
        fake_files::add_process(1000, "sh", "sh", 1, "");
        fake_files::add_process(1001, "helper", "helper", 1000, "");
        fake_files::add_process(1002, "late", "late", 1001, "");
        fake_files::add_process(1003, "stranger", "stranger", 1, "");
        fake_files::add_process(current_record.pid, "vorn_restart", "x", 1000, "");
        sys.kill_process = [](pid_t pid) {
            fake_system::killed.push_back(pid);
            // Its children belong to pid 1 once it has ended.
            fake_files::files["/proc/1001/stat"] =
                "1001 (helper) S 1 1 1 0 -1 0 0 0 0 0 2 3 0 0 20 0 1 0 7000";
            return 0;
        };
    }
    void TearDown() override {
        reset_units();
        fake_files::reset();
        supervisor_test::TearDown();
    }
    static std::vector<pid_t> killed_by_signal() {
        std::vector<pid_t> pids;
        for (const auto& s : fake_system::signals)
            if (s.signal == SIGKILL) pids.push_back(s.pid);
        return pids;
    }
};

TEST_F(unit_end_test, a_process_tree_is_found_before_its_main_ends_and_strangers_are_spared) {
    end_unit_now("w", 1000);
    EXPECT_EQ(fake_system::killed, std::vector<pid_t>{1000});
    EXPECT_EQ(killed_by_signal(), (std::vector<pid_t>{1001, 1002}));
}

TEST_F(unit_end_test, a_member_whose_pid_came_round_again_is_not_signalled) {
    unit_ending("w", 1000);
    fake_files::files["/proc/1002/stat"] =
        "1002 (other) S 1 1 1 0 -1 0 0 0 0 0 2 3 0 0 20 0 1 0 9999";
    sys.send_signal(1000, SIGTERM);
    unit_signal_rest("w", 1000, SIGKILL);
    EXPECT_EQ(killed_by_signal(), std::vector<pid_t>{1001});
}

TEST_F(unit_end_test, a_cgroup_ends_by_cgroup_kill_else_each_member_but_main_and_self) {
    units.cgroups = true;
    copy_text(units.base, "/cg");
    static std::vector<std::string> opened;
    opened.clear();
    sys.open_for_writing = [](const char* path) {
        opened.emplace_back(path);
        return std::string(path) == "/cg/w/cgroup.kill" ? 77 : (errno = ENOENT, -1);
    };
    sys.write_descriptor = [](int, const char* data, std::size_t len) {
        opened.emplace_back(data, len);
        return 0;
    };
    end_unit_now("w", 1000);
    EXPECT_EQ(opened, (std::vector<std::string>{"/cg/w/cgroup.kill", "1"}));
    // Its descendants too, found before the main's kill: a child that could
    // not join its cgroup runs all the same.
    EXPECT_EQ(killed_by_signal(), (std::vector<pid_t>{1001, 1002}));

    // A kernel without cgroup.kill: each of cgroup.procs.
    fake_system::signals.clear();
    sys.open_for_writing = [](const char*) { return errno = ENOENT, -1; };
    fake_files::files["/cg/w/cgroup.procs"] =
        "1000\n1001\n1\n" + std::to_string(current_record.pid) + "\n";
    end_unit_now("w", 1000);
    EXPECT_EQ(killed_by_signal(), std::vector<pid_t>{1001});
}

}  // namespace
}  // namespace vorn::testing
