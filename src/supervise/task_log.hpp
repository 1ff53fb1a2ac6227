// Each task's own log: with --log_path, a task's standard output and error
// go to <dir>/<name>.log, which the kernel writes as the task writes; the
// supervisor never copies a line.  It adds short lines of its own (a start,
// an end, a marker holding the task back), and at every pass keeps each
// log within log_size: past it, the newest lines become <name>.log.1 and
// the log starts again empty, the task's descriptor untouched.
//
// Every log it opened stays watched for as long as it runs, whoever
// writes to it: a child that outlives its task, a task held back, dropped
// from the configuration or off, a turn without a usable configuration.
// While some log grows by more than its bound in a pass, looks at the
// sizes come at deadlines of the supervisor's wait, closer than a pass (no
// closer than min_log_look_ms), so that a fast writer is held near its
// bound.  While the logs are calm, the write watch (an inotify descriptor)
// is one source of the wait: the first write wakes it, the logs are looked
// at then and again min_log_look_ms later, which tells how fast they grow;
// until the looks slow down to a pass again further writes wake nothing.
// A calm pass looks only at the logs the watch cannot see.
//
// The directory is opened at the beginning of every turn and checked by
// the rule the checker shares (base/log_trust: a directory, not a link,
// owned by this user, writable by no one else); every file in it is opened
// relative to it, never through a link, and used only when it is a regular
// file of this user's with one name, writable by no one else.  At every
// pass one lstat tells whether the path still names the directory held: a
// directory removed, replaced or no longer fit is opened again at once,
// one that cannot be used at most every status_retry_seconds, and tasks
// started once it works log there.  Whatever cannot be used is said once on
// standard error, is the status file's log_problem while it lasts, and
// leaves the task writing where it would without logs.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "base/settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

inline constexpr std::size_t log_problem_size = 256;

// Logs opened since the supervisor started, each watched until the
// supervisor ends or a log of another name needs its place (the one quiet
// the longest, that no running child writes to, gives it up).
inline constexpr std::size_t watched_log_count = 4 * task_slot_count;
// The shortest piece of a pass between two looks at a fast log.
inline constexpr unsigned min_log_look_ms = 10;

struct task_log_state {
    int fd;                  // log of the slot's running child (a watched one's), -1 when none
    bool open_failure_told;  // its log could not be used, and that was said
};

struct watched_log {
    int fd;  // -1: a free place
    std::array<char, task_name_size> name;
    dev_t device;
    ino_t inode;
    int watch;                 // its inotify watch, -1 when none
    off_t size;                // at the last look
    unsigned quiet_looks;      // looks since it last grew
    bool rotate_failure_told;  // it could not be rotated, and that was said
};

struct log_directory_state {
    // The directory last opened, -1 when logs are off or it was refused.
    // While problem is not empty no new log is opened in it; the logs open
    // in it are still kept within log_size.
    int fd;
    dev_t dev;  // what fd is, to compare with what the path names
    ino_t ino;
    uid_t user;                           // who must own it: this process's user
    std::array<char, setting_size> path;  // log_path without its final '/'
    std::time_t retry_at;                 // boot clock: no new open before this
    bool refusal_told;                    // the refusal was said since the directory last worked
    std::array<char, log_problem_size> problem;  // why it is not used, "" when it is
    std::array<task_log_state, task_slot_count> slots;
    std::size_t watched_used;  // places [0, watched_used) have been used
    unsigned look_ms;          // 0: one look a pass; else the time between two looks
    long long looked_ms;       // boot clock: the last look
    int notify_fd;             // writes to the logs wake a calm wait; -1: none
    bool notify_tried;         // notify_fd was asked for
    // Last, and set up only as each place is first used: a supervisor
    // without logs never touches its pages.
    std::array<watched_log, watched_log_count> watched;
};

extern log_directory_state task_logs;

// Forgets the directory and every slot's log, closing nothing.
void reset_task_logs();

// At the beginning of a turn: forgets the slots' children's logs (still
// watched), and opens and checks the log directory afresh (making it, mode 0750, when it
// is missing and its parent exists).  Nothing when logs are off.
void begin_log_turn();

// At every pass: whether the path still names the directory held, fit to
// use (one lstat); when not, it is said and opened again at once, and a
// directory that could not be used is tried again status_retry_seconds
// after the last try.  Nothing when logs are off.  True when the log
// problem changed (the status file says it).
bool check_log_directory();

// Whether new logs are opened now.
bool logs_in_use();

// "<dir>/<name>.log" into buf[size]; false when logs are not in use or it
// does not fit.
bool format_log_path(char* buf, std::size_t size, const char* name);

// What a child needs to start writing to its log: the descriptor, and its
// first line, "<time> vorn_restart: started <name> (pid " + its pid + tail.
struct child_log {
    int fd;  // -1: no log, the child keeps the supervisor's output
    std::array<char, 128> head;
    std::array<char, 1024> tail;
    struct stat info;  // of the log opened
};

// Before the fork: opens the slot's log and prepares the start line.
// log.fd is -1 when logs are off or this log cannot be used (said once).
void open_task_log(std::size_t slot, const char* const* argv, child_log& log);

// After the fork: the parent watches the log when the child started, and
// closes the descriptor when the fork failed.
void task_log_started(std::size_t slot, const child_log& log, pid_t pid);

// The end of the slot's child was seen (wait_status as waitpid gives it):
// one line in its log, which stays watched.
void log_task_ended(std::size_t slot, int wait_status);

// The supervisor killed the slot's child because the updater ended with
// updater_code: one line in its log, which stays watched.
void log_task_killed(std::size_t slot, int updater_code);

// A marker began to hold the slot's task back: one line in its log, which
// is watched from then on.
void log_task_held(std::size_t slot, const char* marker);

// The operator's command and what came of it ("restarted by uid 0", "not
// started: ..."): one line in the slot's log, "<name> <what>", which stays
// watched.
void log_task_note(std::size_t slot, const char* what);

// The operator's hold came to the slot's task without a command to this
// supervisor (kept from the one before it): its log is watched from then
// on, for what the task left running.
void log_task_held_down(std::size_t slot);

// At every pass, and at every look while a log grows fast: every watched
// log past log_size is rotated, and look_ms set from how fast the fastest
// log grew since the last look.  At a calm pass only the logs that the
// write watch cannot see are looked at.
void rotate_task_logs();

// Whether any log is watched.
bool logs_watched();

// The write watch, while the logs are calm: into fds[0] (cap at least 1),
// and the count (0 or 1).
std::size_t log_wait_sources(struct pollfd* fds, std::size_t cap);

// The next look (boot clock, ms) while a log grows fast; -1 when the next
// look is the pass's.
long long log_look_deadline();

// After the wait: a write seen by the watch is looked at now (and the
// looks come fast until they tell the logs are calm again); a look that is
// due is made.
void serve_task_logs(const struct pollfd* fds, std::size_t count, long long now_ms);

}  // namespace vorn
