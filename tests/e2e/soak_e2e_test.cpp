// Soak: the real binary through many turns and many restarts, with its open
// descriptors and resident memory read from /proc before and after; and a
// shorter run of the same under valgrind's memcheck.
//
// Sizes come from the environment, so that a longer soak can be run by hand:
//   VORN_SOAK_TURNS, VORN_SOAK_RESTARTS                    (default 1000 each)
//   VORN_SOAK_UNUSABLE              turns with an unusable configuration (200)
//   VORN_SOAK_VALGRIND_TURNS, VORN_SOAK_VALGRIND_RESTARTS  (default 25, 50)
// The supervisor runs without -d, so that every turn opens and closes the
// null device, with a pass of 5 ms (VORN_TEST_MS_PER_SECOND=1).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorn::e2e {
namespace {

std::size_t size_from_env(const char* name, std::size_t fallback) {
    const char* value = std::getenv(name);
    return value && std::atol(value) > 0 ? static_cast<std::size_t>(std::atol(value)) : fallback;
}

// Time allowed for a phase of n turns or restarts: far more than they take.
// Its logs are read every 100 ms only: they grow long.
std::chrono::milliseconds allowance(std::size_t n) {
    return 60s + std::chrono::milliseconds(500 * n);
}

// The tasks read the phase file at every start and log what they read:
// in "turns" the updater exits 0 at once (a turn per start), in "restarts"
// the workers exit 0 at once (a restart per start), in "steady" all run on.
class soak_installation {
public:
    soak_installation() {
        for (int i = 0; i < 3; ++i) workers_.push_back(unique_name("soak"));
        tasks_ = {"vorn_update", "vorn_monitor"};
        tasks_.insert(tasks_.end(), workers_.begin(), workers_.end());
        set_phase("steady");
        inst_.task("vorn_update", phase_body("vorn_update", "turns"));
        inst_.task("vorn_monitor", "exec sleep 1000");
        for (const std::string& w : workers_) inst_.task(w, phase_body(w, "restarts"));
        std::string json = R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"})";
        for (const std::string& w : workers_) json += R"(, {"name": ")" + w + R"("})";
        config_ = json + "]}";
        inst_.config(config_);
    }

    const installation& inst() const { return inst_; }
    const std::vector<std::string>& tasks() const { return tasks_; }

    void set_phase(const std::string& phase) const {
        inst_.write(inst_.root() + "/phase", phase + "\n");
    }

    // Starts of the task that read the phase.
    std::size_t starts_in(const std::string& name, const std::string& phase) const {
        std::size_t n = 0;
        for (const std::string& line : read_lines(inst_.root() + "/log/" + name + ".phase"))
            n += line == phase;
        return n;
    }
    std::size_t restarts() const {
        std::size_t n = 0;
        for (const std::string& w : workers_) n += starts_in(w, "restarts");
        return n;
    }
    std::size_t turns() const { return starts_in("vorn_update", "turns"); }
    std::size_t unusable_turns() const {
        std::size_t n = 0;
        for (const std::string& line : inst_.events()) n += line == "sleep 30";
        return n;
    }

    // Every task runs its last start, and nothing else is left.
    ::testing::AssertionResult settled(const supervisor& sup) const {
        std::string why;
        if (wait_until(
                [&] {
                    why = table_mismatch(sup, inst_, tasks_, tasks_);
                    return why.empty();
                },
                60s))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << why;
    }

    void end_last_start(const std::string& name) const {
        const auto pids = inst_.start_pids(name);
        if (!pids.empty()) ::kill(pids.back(), SIGKILL);
    }

    // From the settled state: `turns` turns, each ended by the updater's
    // exit 0, which kills the others; back to the settled state.
    ::testing::AssertionResult run_turns(const supervisor& sup, std::size_t turns) const {
        const std::size_t target = this->turns() + turns;
        set_phase("turns");
        end_last_start("vorn_update");  // its next start reads the phase
        if (!wait_until([&] { return this->turns() >= target; }, allowance(turns), 100ms))
            return ::testing::AssertionFailure() << "only " << this->turns() << " turns";
        set_phase("steady");
        return settled(sup);
    }

    // From the settled state: `restarts` restarts of the workers within
    // one turn; back to the settled state.
    ::testing::AssertionResult run_restarts(const supervisor& sup, std::size_t restarts) const {
        const std::size_t target = this->restarts() + restarts;
        set_phase("restarts");
        for (const std::string& w : workers_) end_last_start(w);
        if (!wait_until([&] { return this->restarts() >= target; }, allowance(restarts), 100ms))
            return ::testing::AssertionFailure() << "only " << this->restarts() << " restarts";
        set_phase("steady");
        return settled(sup);
    }

    // From the settled state: `turns` turns that find the configuration
    // unusable and start nothing; then the file is repaired and the next
    // turn brings everything back.
    ::testing::AssertionResult run_unusable(const supervisor& sup, std::size_t turns) const {
        const std::size_t target = unusable_turns() + turns;
        inst_.config("{\"tasks\": [garbage");
        set_phase("turns");
        end_last_start("vorn_update");  // its exit 0 ends the turn
        if (!wait_until([&] { return unusable_turns() >= target; }, allowance(turns), 100ms))
            return ::testing::AssertionFailure()
                   << "only " << unusable_turns() << " unusable turns";
        set_phase("steady");
        inst_.config(config_);
        return settled(sup);
    }

private:
    std::string phase_body(const std::string& name, const std::string& exit_phase) const {
        return "read phase < '" + inst_.root() +
               "/phase'\n"
               "echo \"$phase\" >> '" +
               inst_.root() + "/log/" + name +
               ".phase'\n"
               "[ \"$phase\" = " +
               exit_phase +
               " ] && exit 0\n"
               "exec sleep 1000";
    }

    installation inst_;
    std::vector<std::string> workers_;
    std::vector<std::string> tasks_;
    std::string config_;
};

run_options soak_options() {
    run_options options;
    options.debug = false;
    options.environment = {{"VORN_TEST_MS_PER_SECOND", "1"}};
    return options;
}

TEST(soak_e2e, turns_and_restarts_leak_neither_descriptors_nor_memory) {
    const std::size_t turns = size_from_env("VORN_SOAK_TURNS", 1000);
    const std::size_t restarts = size_from_env("VORN_SOAK_RESTARTS", 1000);
    const std::size_t unusable = size_from_env("VORN_SOAK_UNUSABLE", 200);
    soak_installation soak;
    supervisor sup(soak.inst(), soak_options());
    zombie_watch zombies(sup);
    ASSERT_TRUE(soak.settled(sup)) << sup.err();
    // Warm-up: every path taken once, so that the pages it touches are in
    // before the first reading.
    ASSERT_TRUE(soak.run_turns(sup, 20));
    ASSERT_TRUE(soak.run_restarts(sup, 20));
    ASSERT_TRUE(soak.run_unusable(sup, 5));
    const int fds_before = sup.open_descriptors();
    const long rss_before = sup.resident_kib();
    const std::size_t turns_before = soak.turns(), restarts_before = soak.restarts(),
                      unusable_before = soak.unusable_turns();

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(soak.run_turns(sup, turns));
    ASSERT_TRUE(soak.run_restarts(sup, restarts));
    ASSERT_TRUE(soak.run_unusable(sup, unusable));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const int fds_after = sup.open_descriptors();
    const long rss_after = sup.resident_kib();
    const std::size_t done_turns = soak.turns() - turns_before;
    const std::size_t done_restarts = soak.restarts() - restarts_before;
    const std::size_t done_unusable = soak.unusable_turns() - unusable_before;
    std::printf(
        "soak: %zu turns, %zu restarts, %zu unusable turns in %.1f s; descriptors %d -> %d; "
        "VmRSS %ld -> %ld KiB; zombies at most %d\n",
        done_turns, done_restarts, done_unusable, seconds, fds_before, fds_after, rss_before,
        rss_after, zombies.most());
    EXPECT_TRUE(sup.running());
    EXPECT_GE(done_turns, turns);
    EXPECT_GE(done_restarts, restarts);
    EXPECT_GE(done_unusable, unusable);
    EXPECT_GT(fds_before, 0);
    EXPECT_EQ(fds_after, fds_before);
    EXPECT_GT(rss_before, 0);
    const long page_kib = ::sysconf(_SC_PAGESIZE) / 1024;
    EXPECT_LE(rss_after - rss_before, 4 * page_kib);
    // Five slots: each holds at most one ended child, the four killed at an
    // exit 0 are collected at the next reap step, and a kill-by-name run may
    // be between its end and its wait.
    EXPECT_LE(zombies.most(), 10);
    EXPECT_EQ(foreign_kills(soak.inst(), soak.tasks()), std::vector<std::string>{});
}

// The supervisor under valgrind's memcheck, its reports written to `logs`.
run_options under_valgrind(run_options options, const std::string& logs) {
    std::filesystem::create_directory(logs);
    options.wrapper = {"valgrind", "--tool=memcheck", "--leak-check=full",
                       "--errors-for-leak-kinds=definite,indirect",
                       "--log-file=" + logs + "/%p.log"};
    return options;
}

// Ends the supervisor with SIGTERM, which lets valgrind write its report,
// the leak check included, and checks every report: the supervisor's own
// and those of children that ended before executing their program.
// Returns the number of reports.
std::size_t expect_valgrind_clean(supervisor& sup, const std::string& logs) {
    const pid_t pid = sup.pid();
    EXPECT_TRUE(sup.terminate(60s));
    const std::string own = read_file(logs + "/" + std::to_string(pid) + ".log");
    EXPECT_NE(own.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << own;
    EXPECT_NE(own.find("definitely lost: 0 bytes in 0 blocks"), std::string::npos) << own;
    std::size_t reports = 0;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        const std::string text = read_file(entry.path().string());
        if (text.find("ERROR SUMMARY:") == std::string::npos) continue;
        ++reports;
        EXPECT_NE(text.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos)
            << entry.path() << "\n"
            << text;
    }
    return reports;
}

TEST(soak_e2e, clean_under_valgrind_memcheck) {
    const std::size_t turns = size_from_env("VORN_SOAK_VALGRIND_TURNS", 200);
    const std::size_t restarts = size_from_env("VORN_SOAK_VALGRIND_RESTARTS", 300);
    soak_installation soak;
    const std::string logs = soak.inst().root() + "/valgrind";
    supervisor sup(soak.inst(), under_valgrind(soak_options(), logs));
    ASSERT_TRUE(soak.settled(sup)) << sup.err();
    ASSERT_TRUE(soak.run_turns(sup, turns));
    ASSERT_TRUE(soak.run_restarts(sup, restarts));
    ASSERT_TRUE(soak.run_unusable(sup, 20));
    const std::size_t reports = expect_valgrind_clean(sup, logs);
    EXPECT_GE(reports, 1u);
    std::printf("valgrind: %zu turns, %zu restarts, %zu reports, all clean\n", soak.turns(),
                soak.restarts(), reports);
}

// The failure paths under memcheck: a task that cannot be executed, one held
// back by its marker, an updater alternating exit 0 and 1, a configuration
// file that disappears for a while.
TEST(soak_e2e, fault_paths_clean_under_valgrind_memcheck) {
    installation inst;
    const std::string ghost = unique_name("ghost"), held = unique_name("held");
    const std::string marker = "/tmp/." + held + ".nr";
    ::close(::open(marker.c_str(), O_WRONLY | O_CREAT, 0644));
    inst.task("vorn_update", "[ -e '" + inst.root() +
                                 "/calm' ] && exec sleep 1000\n"
                                 "n=$(wc -l < '" +
                                 inst.root() +
                                 "/log/vorn_update.log')\n"
                                 "[ $((n % 2)) -eq 1 ] && exit 0\nexit 1");
    inst.task("vorn_monitor", "exec sleep 1000");
    inst.task(held, "exit 0");
    const std::string valid = R"({"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"},
        {"name": ")" + ghost + R"("}, {"name": ")" +
                              held + R"(", "system": 0}]})";
    inst.config(valid);
    const std::string logs = inst.root() + "/valgrind";
    run_options options = under_valgrind({}, logs);
    options.environment = {{"VORN_TEST_MS_PER_SECOND", "1"}};
    supervisor sup(inst, options);
    const bool ran = wait_until(
        [&] {
            return inst.starts("vorn_update").size() >= 20 &&
                   count_of(sup.err(), "execlp(" + ghost) >= 5 &&
                   count_of(sup.out(), held + " not run: ") >= 5;
        },
        300s);
    ::unlink(inst.config_file().c_str());
    const bool reported =
        ran && wait_until([&] { return count_of(sup.err(), "fopen: ") >= 2; }, 300s);
    inst.config(valid);
    const std::size_t dumps = count_of(sup.out(), "task_info_size:");
    const bool back =
        reported &&
        wait_until([&] { return count_of(sup.out(), "task_info_size:") > dumps; }, 300s);
    ::unlink(marker.c_str());
    EXPECT_TRUE(ran && reported && back) << sup.out() << sup.err();
    const std::size_t reports = expect_valgrind_clean(sup, logs);
    // The supervisor's own, and those of the children whose exec failed:
    // not all of them, since a child still writing its report when the
    // updater exits with 0 is killed with the other running tasks (passes
    // last 5 ms here), but some in any run.
    EXPECT_GE(reports, 3u);
    std::printf("valgrind: %zu updater runs, %zu failed execs, %zu reports, all clean\n",
                inst.starts("vorn_update").size(), count_of(sup.err(), "execlp("), reports);
}

}  // namespace
}  // namespace vorn::e2e
