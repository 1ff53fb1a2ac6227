// A stand-in for the system: records what the supervisor asks of it and
// answers from a script, so that the cycle can be driven without children,
// without sleeping and without killing anything.
#pragma once

#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "supervise/children.hpp"
#include "supervise/cycle.hpp"
#include "supervise/publish.hpp"
#include "supervise/record.hpp"
#include "supervise/start_report.hpp"
#include "supervise/task_log.hpp"
#include "supervise/unit.hpp"
#include "supervise/watch.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn::testing {

// A log directory in memory: what open_directory, open_log and the calls
// on their descriptors see.  Files are named as in the directory.
struct fake_logs {
    static inline int dir_error = 0;  // errno for open_directory, 0: it opens
    // What open_directory and lstat_path tell of the directory.
    static inline struct stat dir_info {};
    static inline int lstat_error = 0;  // errno for lstat_path, 0: dir_info
    static inline std::map<std::string, std::string> files;
    // What is planted at a name instead of a regular file: open_log answers
    // ELOOP for S_IFLNK, and opens anything else with that mode.
    static inline std::map<std::string, mode_t> planted;
    static inline std::map<int, std::string> fds;  // open descriptor -> name
    static inline int next_fd = 40;
    static inline int create_error = 0;  // errno for create_file_at, 0: works
    static inline int copy_error = 0;    // errno for copy_range, 0: works
    static inline uid_t euid = 0;
    // A writer that every sleep lets add to the file `growing`, at this
    // many bytes a second; the largest that file has been.
    static inline std::string growing;
    static inline std::size_t bytes_per_second = 0;
    static inline std::size_t largest = 0;
    // The write watch: while it is waited on, the growing file's first
    // write ends the wait 1 ms later, with the write noted.
    static inline bool write_noted = false;
    static void reset() {
        dir_error = 0;
        lstat_error = 0;
        dir_info = {};
        dir_info.st_mode = S_IFDIR | 0750;
        files.clear();
        planted.clear();
        fds.clear();
        next_fd = 40;
        create_error = 0;
        copy_error = 0;
        euid = 0;
        growing.clear();
        bytes_per_second = 0;
        largest = 0;
        write_noted = false;
    }
};

// The user and group databases: www (uid 33, gid 33, also in adm, 4, home
// /var/www) unless a test says otherwise.  A name in `broken` cannot be
// looked up (EIO).
struct fake_users {
    struct user {
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> groups;  // the groups that list it as a member
        std::string home = "/home";
    };
    static inline std::map<std::string, user> users;
    static inline std::map<std::string, gid_t> groups;
    static inline std::string broken;
    static void reset() {
        users = {{"www", {33, 33, {4}, "/var/www"}}};
        groups = {{"www", 33}, {"adm", 4}};
        broken.clear();
    }
};

struct fake_system {
    static inline pid_t next_pid = 1000;
    static inline int fork_failures = 0;                    // forks still to fail
    static inline std::vector<pid_t> forked;                // pids handed out, in order
    static inline std::deque<std::pair<pid_t, int>> reaps;  // (pid, status) still to come
    static inline int reap_calls = 0;
    static inline std::vector<pid_t> killed;
    static inline std::vector<std::string> killed_by_name;
    static inline std::vector<kill_output> kill_outputs;  // one per kill-by-name run
    // The waits, each from its beginning to its deadline: in seconds when
    // whole, else in ms.  A wait ended by a source is not listed.
    static inline std::vector<unsigned> sleeps;
    static inline std::vector<unsigned> sleeps_ms;
    // A source that becomes ready at a moment of the boot clock (ms): the
    // wait that waits on fd then ends there, fd's revents set to POLLIN.
    struct firing {
        long long at_ms;
        int fd;
    };
    static inline std::vector<firing> firings;
    // Children are held by descriptors (handle_base + pid) when set, else
    // open_process_handle fails with ENOSYS.  A held child in `ended` makes
    // the wait end at once.
    static constexpr int handle_base = 100000;
    static inline bool handles = false;
    // The control channel: each client accepted gets the next descriptor
    // from client_base, with the uid and the request text given (read
    // whole at its first read; "" sends nothing).  What is written to a
    // client, and every signal sent, with the boot clock's ms then.
    static constexpr int client_base = 200;
    struct client {
        uid_t uid;
        std::string request;
    };
    static inline std::deque<client> clients;
    static inline std::map<int, std::string> requests;  // descriptor -> not read yet
    static inline std::vector<std::pair<long long, std::string>> answers;
    struct signal_sent {
        long long at_ms;
        pid_t pid;
        int signal;
    };
    static inline std::vector<signal_sent> signals;
    // The exec report's read end (the write end is one more): at its end at once.
    static constexpr int report_fd = 300;
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
    static inline std::time_t clock = 1765152000;  // what now() answers
    static inline std::time_t boot_clock = 500;    // what boot_seconds() answers
    static inline long long boot_ms = 0;           // ms past boot_clock, moved on by the waits
    // pid -> status word of a child that has ended, for child_ended (which
    // answers 0, running, for any other pid).
    static inline std::map<pid_t, int> ended;
    static inline std::vector<pid_t> peeked;          // child_ended calls
    static inline std::vector<std::string> stamped;   // "path@stamp", one per stamp_file
    static inline int stamp_error = 0;                // errno for stamp_file, 0: works
    static inline std::vector<std::string> removed;   // remove_file calls
    static inline int kill_by_name_error = 0;         // what kill_by_name answers
    static inline int replace_error = 0;              // errno for replace_file, 0: works
    static inline std::string failing_path;           // only it fails, when not empty
    static inline std::vector<std::string> replaced;  // "path@stamp", one per write
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
        sleeps_ms.clear();
        firings.clear();
        handles = false;
        clients.clear();
        requests.clear();
        answers.clear();
        signals.clear();
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
        boot_clock = 500;
        boot_ms = 0;
        ended.clear();
        peeked.clear();
        stamped.clear();
        stamp_error = 0;
        removed.clear();
        kill_by_name_error = 0;
        replace_error = 0;
        failing_path.clear();
        replaced.clear();
        replaced_text.clear();
        piece_size = 5;
        piece_bytes = 0;
        fake_logs::reset();
        fake_users::reset();
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
        clear_task_settings();
        stdout_stderr_fd = 0;
        reset_record();
        reset_publishing();
        reset_task_logs();
        reset_watch();
        reset_child_handles();
        reset_units();          // no tree noted, no cgroup made by an earlier test
        close_start_reports();  // none kept from an earlier test's starts
        fake_system::closed.clear();
    }
    void TearDown() override { sys = real_system_ops; }
};

// Status words as waitpid reports them.
inline int exit_status(int code) { return (code & 0xff) << 8; }
inline int signal_status(int signal) { return signal & 0x7f; }

// The files and processes the checker looks at.  Once `files` holds
// anything, read_file, read_file_info, read_file_pieces and read_link
// answer from it alone (a path not there does not exist); list_processes
// lists `pids`, and stat_path answers for /proc/<pid> with its owner (other
// paths are real).
struct fake_files {
    static inline std::map<std::string, std::string> files;
    // What read_file_info tells of a file; by default a regular file of
    // root's, mode 0644, modified at the boot clock's time.
    static inline std::map<std::string, struct stat> infos;
    static inline std::map<pid_t, uid_t> owners;
    static inline std::vector<pid_t> pids;
    // Directories opened: descriptor -> path ending in '/'.  A directory is
    // any path; infos may tell it is something else (lstat_path answers
    // from infos, else a directory of root's, mode 0755).
    static inline std::map<int, std::string> dirs;
    // pid -> the inode of the file it holds open for writing.
    static inline std::map<pid_t, ino_t> writers;
    static void reset() {
        dirs.clear();
        files.clear();
        infos.clear();
        owners.clear();
        pids.clear();
        writers.clear();
    }
    // Puts them into sys.
    static void install();
    // A process as /proc shows it: comm, cmdline (words NUL-separated),
    // stat with its state, parent and start time, and exe unless exe is
    // empty; owned by root.
    static void add_process(pid_t pid, const std::string& comm, const std::string& cmdline,
                            pid_t parent, const std::string& exe, char state = 'S',
                            unsigned long long start_ticks = 7000);
};

// A cgroup2 file system mounted at /cg, with this supervisor in /cg/sup
// (through fake_files: /proc/self/mountinfo and /proc/self/cgroup), for
// the units.  A cgroup is a path in `dirs`; the processes in it are its
// cgroup.procs in fake_files::files, and a process's own cgroup is its
// /proc/<pid>/cgroup (join() writes both).  rmdir fails with EBUSY while a
// cgroup holds processes or cgroups; what is written to a cgroup's files
// is kept in `written` as "path <- text".
struct fake_cgroups {
    static inline std::set<std::string> dirs;
    static inline std::vector<std::string> made;     // mkdir calls that worked
    static inline std::vector<std::string> removed;  // rmdir calls that worked
    static inline std::vector<std::string> written;
    static inline std::map<int, std::string> open;  // descriptor -> file
    static inline std::vector<int> clone_fds;       // fork_into_cgroup calls
    static inline int clone_error = ENOSYS;         // what fork_into_cgroup answers, 0: it works
    static void reset() {
        dirs.clear();
        made.clear();
        removed.clear();
        written.clear();
        open.clear();
        clone_fds.clear();
        clone_error = ENOSYS;
    }
    // Puts them into sys, after fake_files::install().
    static void install();
    // The process pid in the cgroup dir (a full path below /cg).
    static void join(pid_t pid, const std::string& dir);
    static std::string container() { return "/cg/sup/vorn_restart.tasks"; }
};

}  // namespace vorn::testing
