// What each task runs with beyond its program and arguments: the user and
// groups it runs as, its working directory, its environment, its resource
// limits, its nice value and OOM score, and the privileges it may keep.
// Written by the configuration step next to the task table, from the
// optional keys of a task entry; a task without them has no row in use and
// runs as it always did, with what the supervisor has.
//
// Everything here is resolved before fork (names of users and groups
// included), so that the child only has to apply it.  A row that cannot be
// honoured (a user that does not exist, a key of the wrong type or out of
// range) is refused: the task does not run at all, and `refusal` says why.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "tasks/task_table.hpp"

namespace vorn {

// The limits a task entry may set under "limits", in this order.
enum task_limit : std::uint8_t {
    limit_open_files,   // RLIMIT_NOFILE
    limit_processes,    // RLIMIT_NPROC
    limit_memory,       // RLIMIT_AS, bytes
    limit_core,         // RLIMIT_CORE, bytes
    limit_cpu_seconds,  // RLIMIT_CPU
    limit_file_size,    // RLIMIT_FSIZE, bytes
    limit_stack,        // RLIMIT_STACK, bytes
    task_limit_count
};

inline constexpr std::array<const char*, task_limit_count> task_limit_names = {
    "open_files", "processes", "memory", "core", "cpu_seconds", "file_size", "stack"};

// A limit written "unlimited".
inline constexpr std::uint64_t limit_unlimited = UINT64_MAX;

inline constexpr std::size_t task_group_max = 32;       // supplementary groups kept
inline constexpr std::size_t task_environment_max = 8;  // variables a task entry may set
inline constexpr std::size_t task_variable_size = 128;  // "NAME=value" and its NUL
inline constexpr std::size_t task_refusal_size = 160;
inline constexpr std::size_t task_user_name_size = 33;  // a user or group name as written

// The capabilities a task entry may name under "capabilities", by their
// number in the kernel's set (CAP_CHOWN is 0).
inline constexpr std::size_t capability_count = 41;

struct task_settings {
    // The task must not run: why, in words for the operator
    // ("user www does not exist").  Nothing below is meant then.
    std::array<char, task_refusal_size> refusal;

    bool identity;  // "user" given: the uid, gid and groups below apply
    uid_t uid;
    gid_t gid;
    std::array<char, task_user_name_size> user_name;  // as written, or the number
    std::size_t group_count;                          // supplementary groups
    std::array<gid_t, task_group_max> groups;
    // What the task's USER and LOGNAME, and HOME, become: the name and home
    // directory of the user's entry, or the number and "/" for a user
    // given by a number that has none.
    std::array<char, task_user_name_size> login;
    std::array<char, task_path_size> home;

    std::array<char, task_path_size> directory;  // "": the supervisor's own

    std::size_t variable_count;  // "NAME=value", added to or replacing the inherited ones
    std::array<std::array<char, task_variable_size>, task_environment_max> variables;

    std::uint32_t limits_set;  // bit task_limit: that limit is given
    std::array<std::uint64_t, task_limit_count> limits;

    bool nice_set;
    int nice;  // -20..19
    // -1000..1000; when not given the child gets 0, so that it never keeps
    // the supervisor's own protection.
    bool oom_score_set;
    int oom_score_adjust;

    bool no_new_privileges;
    bool capabilities_set;       // "capabilities" given: every other one is dropped
    std::uint64_t capabilities;  // bit n: capability n kept
};

// Per slot; only the rows whose `task_settings_used` is true mean anything
// (a row not in use is never touched, so that a table without the keys
// costs no memory).
extern std::array<task_settings, task_slot_count> task_settings_table;
extern std::array<bool, task_slot_count> task_settings_used;

// The slot's settings, or nullptr when its entry has none of the keys.
const task_settings* settings_of(std::size_t slot);

// Whether the slot's task is refused (it must not run); its reason in
// *reason when it is.
bool task_refused(std::size_t slot, const char** reason = nullptr);

// Forgets every row in use.
void clear_task_settings();

// The kernel's name of a capability in lower case without "cap_"
// ("net_bind_service"), or nullptr for a number that names none; and the
// number of a name, -1 when it names none.
const char* capability_name(std::size_t number);
int capability_number(const char* name);

}  // namespace vorn
