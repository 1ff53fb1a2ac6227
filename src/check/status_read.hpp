// Reading the status file, and whether to believe it.
//
// The file at status_path is read (never through a link; only one that
// root or the user running the checker wrote and no one else can write,
// of a bounded size) and parsed into a status_reading, member by member
// as base/status_document.hpp names them, with every number checked
// against its range.  Then the supervisor that wrote it is confirmed
// against /proc: alive at the recorded pid, started when the file says,
// of the file's owner, and still going round (the file's pass mark).
// What cannot be believed is never half used: a status_absence says why.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <string_view>
#include <sys/types.h>

#include <jansson.h>

#include "base/status_document.hpp"
#include "supervise/pace.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// At most this many bytes of the status file are read; a larger file is
// refused, not trusted.
inline constexpr unsigned long status_read_limit = 131072;

// The longest wait of the supervisor (after an unusable configuration)
// plus two passes: a status file whose pass mark is older than this tells
// of a supervisor that no longer goes round.
inline constexpr std::time_t status_stale_seconds = unusable_config_seconds + 2 * pass_seconds;
static_assert(status_stale_seconds == 40);

// A number of the file: absent (null or missing), ok within its range, or
// invalid (of another type, or out of range).  Only numbers within range
// are used, so that no arithmetic on them can overflow.
enum class number_kind { absent, ok, invalid };
struct number {
    number_kind kind = number_kind::absent;
    long long value = 0;
    bool ok() const { return kind == number_kind::ok; }
    long long or_zero() const { return ok() ? value : 0; }
};

// A true/false member: absent (null or missing), yes, no, or of another type.
enum class truth { absent, yes, no, invalid };

// A text member; `given` when it is a string (maybe empty).
struct read_text {
    std::string_view text;
    bool given = false;
};

// How a run ended: {"code": n} with n in 0..255, {"signal": n} with n in
// 1..127; none for null or missing; invalid for anything else.
enum class end_kind { none, code, signal, invalid };
struct read_end {
    end_kind kind = end_kind::none;
    long long value = 0;
};

// What a slot's settings say: who its task runs as, its limits.  Each
// number within its range (ids 0 to 2^32-2, nice -20..19, the OOM score
// -1000..1000, limits non-negative) or invalid.
struct read_settings {
    read_text refused;  // why the task is refused, when it is
    bool user_given;    // "user" is an object
    bool user_invalid;  // "user" is neither null nor an object
    number uid, gid;
    std::size_t group_count;
    bool groups_invalid;  // not an array of at most task_group_max ids
    std::array<number, task_group_max> groups;
    bool limits_invalid;                          // "limits" is neither null nor an object
    std::uint32_t unlimited;                      // bit task_limit: "unlimited"
    std::array<number, task_limit_count> limits;  // absent when not set
    number nice, oom_score_adjust;
    truth no_new_privileges;
};

struct read_slot {
    number index;  // "slot", 0 to 15
    read_text name, path;
    number system;
    read_text mode;
    read_text state_name;  // as the file says it
    bool state_known;      // state_name names a slot_state
    slot_state state;      // when state_known
    number pid;
    number since, since_boot;
    number starts;
    read_end last_exit;
    number last_exit_at, last_exit_at_boot;
    number same_exits, short_runs;
    number ended_by_supervisor;  // of same_exits, so no more than it
    read_text marker, log;
    read_text start_failure;                // why its latest start did not execute the program
    number stopped_by, stopped_since_boot;  // while the operator holds it down
    read_settings settings;
    read_text unit_tracked;  // "cgroup" or "process_tree"
    read_text unit_cgroup;   // the task's cgroup, when tracked in one
};

// Where the file says the task logs are.
enum class log_path_kind { none, text, other };

struct status_reading {
    number format, pid, start_ticks;
    number started, started_boot, turn, turn_started, turn_started_boot, written, written_boot;
    read_text config_file;
    truth usable;
    read_text config_problem;
    read_end updater_exit;
    number updater_at, updater_at_boot;
    read_text updater_then;
    truth kill_works;
    read_text kill_problem;
    truth oom_works;  // absent when the protection was not asked for
    read_text oom_problem;
    log_path_kind log_path_is;
    read_text log_path, log_problem;
    std::size_t slot_count;
    std::array<read_slot, task_slot_count> slots;
};

// Why there is no live supervisor, or why that cannot be told, and the
// exit status that goes with it (status_exit_absent or _unknown).
struct status_absence {
    int status;
    std::array<char, 2048> why;
};

// What /proc tells of the supervisor that wrote the file.
struct supervisor_facts {
    pid_t pid;
    char state;            // its state letter now
    long long pass_age;    // seconds since its last pass, -1 when not known
    std::time_t boot_now;  // the boot clock now
    uid_t owner;           // the status file's owner
};

// The document's members, as the checker uses them (all of it, also what
// only a caller of the JSON view reads).  Strings point into document.
void read_status_document(const json_t* document, status_reading* out);

// Reads the file at status_path into *reading and confirms the supervisor
// that wrote it.  True when a live supervisor wrote it; otherwise *absence
// says why not.  The document stays loaded until the next call
// (loaded_status_document()).
bool read_live_status(status_reading* reading, supervisor_facts* facts, status_absence* absence);

// The document the latest read_live_status parsed, or nullptr.
const json_t* loaded_status_document();

// The status path a vorn_restart was started with, by its command line
// (words NUL-separated) as its option parser reads it; the default when
// there is none.  The result lives until the next call.
const char* status_path_of(std::string_view cmdline);

}  // namespace vorn
