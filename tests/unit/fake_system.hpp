// A stand-in for the system: records what the supervisor asks of it and
// answers from a script, so that the cycle can be driven without children,
// without sleeping and without killing anything.
#pragma once

#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/cycle.hpp"
#include "supervise/status.hpp"
#include "tasks/task_table.hpp"

namespace vorn::testing {

struct fake_system {
    static inline pid_t next_pid = 1000;
    static inline int fork_failures = 0;                    // forks still to fail
    static inline std::vector<pid_t> forked;                // pids handed out, in order
    static inline std::deque<std::pair<pid_t, int>> reaps;  // (pid, status) still to come
    static inline int reap_calls = 0;
    static inline std::vector<pid_t> killed;
    static inline std::vector<std::string> killed_by_name;
    static inline std::vector<kill_output> kill_outputs;  // one per kill-by-name run
    static inline std::vector<unsigned> sleeps;
    static inline std::vector<int> closed;
    static inline int opened = 0;
    static inline int null_fd = 7;
    static inline bool file_present = true;
    static inline std::string file_text;
    static inline std::string file_read;               // path last asked for
    static inline std::vector<std::string> existing;   // paths that exist
    static inline std::vector<std::string> looked_at;  // paths asked about
    static inline std::vector<std::string> renamed;    // "from -> to"
    static inline int standard_descriptor_calls = 0;
    static inline std::time_t clock = 1765152000;     // what now() answers
    static inline int replace_error = 0;              // errno for replace_file, 0: works
    static inline std::vector<std::string> replaced;  // "path <- temp", one per write
    static inline std::string replaced_text;          // the last document written
    // read_file_pieces hands a file out in pieces of at most this many
    // bytes, so that words cross the ends of pieces; it counts the bytes.
    static inline std::size_t piece_size = 5;
    static inline std::size_t piece_bytes = 0;

    static void reset() {
        next_pid = 1000;
        fork_failures = 0;
        forked.clear();
        reaps.clear();
        reap_calls = 0;
        killed.clear();
        killed_by_name.clear();
        kill_outputs.clear();
        sleeps.clear();
        closed.clear();
        opened = 0;
        null_fd = 7;
        file_present = true;
        file_text.clear();
        file_read.clear();
        existing.clear();
        looked_at.clear();
        renamed.clear();
        standard_descriptor_calls = 0;
        clock = 1765152000;
        replace_error = 0;
        replaced.clear();
        replaced_text.clear();
        piece_size = 5;
        piece_bytes = 0;
    }

    static system_ops ops();
};

// Every test starts from defaults, an empty table and the fake system.
class supervisor_test : public ::testing::Test {
protected:
    void SetUp() override {
        fake_system::reset();
        sys = fake_system::ops();
        reset_settings();
        reset_own_names();
        clear_task_table();
        stdout_stderr_fd = 0;
        reset_status();
    }
    void TearDown() override { sys = real_system_ops; }
};

// Status words as waitpid reports them.
inline int exit_status(int code) { return (code & 0xff) << 8; }
inline int signal_status(int signal) { return signal & 0x7f; }

// The files and processes the checker looks at.  Once `files` holds
// anything, read_file, read_file_pieces and read_link answer from it alone
// (a path not there does not exist); list_processes lists `pids`.
struct fake_files {
    static inline std::map<std::string, std::string> files;
    static inline std::vector<pid_t> pids;
    static void reset() {
        files.clear();
        pids.clear();
    }
    // Puts the four into sys.
    static void install();
    // A process as /proc shows it: comm, cmdline (words NUL-separated),
    // stat with its parent, and exe unless exe is empty.
    static void add_process(pid_t pid, const std::string& comm, const std::string& cmdline,
                            pid_t parent, const std::string& exe, char state = 'S');
};

}  // namespace vorn::testing
