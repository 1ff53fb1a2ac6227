// The status document's shape: the keys, the state names and the format
// number of the JSON document that the supervisor publishes at status_path
// and the checker reads back.  Both programs take every name from here, so
// that the writer and the reader cannot drift apart.
//
// A document, one line of compact JSON (a moment is given by both clocks:
// `<key>` the wall clock, `<key>_boot` the boot clock, in seconds):
//
//   {"format": 2, "pid": ..., "start_ticks": ..., "started", "started_boot",
//    "turn", "turn_started", "turn_started_boot", "written", "written_boot",
//    "configuration": {"file", "usable", "problem"},
//    "updater": {"last_exit", "at", "at_boot", "then"},
//    "kill_by_name": {"works", "problem"},
//    "oom_protection": {"works", "problem"} or null,
//    "log_path", "log_problem",
//    "slots": [{"slot", "name", "path", "system", "mode", "state", "pid",
//               "since", "since_boot", "starts", "last_exit" ({"code": n}
//               or {"signal": n} or null), "last_exit_at",
//               "last_exit_at_boot", "same_exits", "ended_by_supervisor",
//               "short_runs", "marker",
//               "stopped_by", "stopped_since", "stopped_since_boot", "log",
//               "refused", "user", "limits", ["no_new_privileges"],
//               ["capabilities"], "start_failure",
//               "unit": {"tracked": "cgroup" or "process_tree",
//                        "cgroup": its path, or null}},
//              ...]}
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

// Raised whenever a key changes its meaning or goes away; a reader refuses
// a format it does not know rather than misread it.
inline constexpr int status_format = 2;

namespace status_key {
// The supervisor.
inline constexpr char format[] = "format";
inline constexpr char pid[] = "pid";
inline constexpr char start_ticks[] = "start_ticks";
inline constexpr char started[] = "started";
inline constexpr char started_boot[] = "started_boot";
inline constexpr char turn[] = "turn";
inline constexpr char turn_started[] = "turn_started";
inline constexpr char turn_started_boot[] = "turn_started_boot";
inline constexpr char written[] = "written";
inline constexpr char written_boot[] = "written_boot";
inline constexpr char configuration[] = "configuration";
inline constexpr char updater[] = "updater";
inline constexpr char kill_by_name[] = "kill_by_name";
// The supervisor's own oom_score_adj -1000: {"works": true, "problem": null},
// or {"works": false, "problem": why the kernel refused it}; null when it
// was not asked for (--no_oom_protect, or not run as root).
inline constexpr char oom_protection[] = "oom_protection";
inline constexpr char log_path[] = "log_path";
inline constexpr char log_problem[] = "log_problem";
inline constexpr char slots[] = "slots";
// Under configuration.
inline constexpr char file[] = "file";
inline constexpr char usable[] = "usable";
inline constexpr char problem[] = "problem";  // also under kill_by_name and oom_protection
// Under updater.
inline constexpr char at[] = "at";
inline constexpr char at_boot[] = "at_boot";
inline constexpr char then[] = "then";
// Under kill_by_name and oom_protection.
inline constexpr char works[] = "works";
// A slot.
inline constexpr char slot[] = "slot";
inline constexpr char name[] = "name";
inline constexpr char path[] = "path";
inline constexpr char system[] = "system";
inline constexpr char mode[] = "mode";
inline constexpr char state[] = "state";
// pid, as the supervisor's.
inline constexpr char since[] = "since";
inline constexpr char since_boot[] = "since_boot";
inline constexpr char starts[] = "starts";
inline constexpr char last_exit[] = "last_exit";  // also under updater
inline constexpr char last_exit_at[] = "last_exit_at";
inline constexpr char last_exit_at_boot[] = "last_exit_at_boot";
inline constexpr char same_exits[] = "same_exits";
// Of those, the ends the supervisor brought about itself: no failure of the task.
inline constexpr char ended_by_supervisor[] = "ended_by_supervisor";
inline constexpr char short_runs[] = "short_runs";
inline constexpr char marker[] = "marker";
inline constexpr char stopped_by[] = "stopped_by";  // uid, or null
inline constexpr char stopped_since[] = "stopped_since";
inline constexpr char stopped_since_boot[] = "stopped_since_boot";
inline constexpr char log[] = "log";
// Why the slot's task is refused (its state "refused"), or null.
inline constexpr char refused[] = "refused";
// Who the task runs as: {"uid", "gid", "groups": [...]}, null when it runs
// as the supervisor.
inline constexpr char user[] = "user";
inline constexpr char uid[] = "uid";
inline constexpr char gid[] = "gid";
inline constexpr char groups[] = "groups";
// The limits set: {"open_files": n or "unlimited", ..., "nice",
// "oom_score_adjust"}, null when none is.
inline constexpr char limits[] = "limits";
inline constexpr char nice[] = "nice";
inline constexpr char oom_score_adjust[] = "oom_score_adjust";
inline constexpr char unlimited[] = "unlimited";
// Only when set: true, and the capabilities kept by name.
inline constexpr char no_new_privileges[] = "no_new_privileges";
inline constexpr char capabilities[] = "capabilities";
// How the task's processes are followed as one unit.
inline constexpr char unit[] = "unit";
inline constexpr char tracked[] = "tracked";
inline constexpr char cgroup[] = "cgroup";
// Why the latest start with settings did not execute the program, or null.
inline constexpr char start_failure[] = "start_failure";
// Under a last_exit: exactly one of them.
inline constexpr char code[] = "code";
inline constexpr char signal[] = "signal";
}  // namespace status_key

// A run that ends with status 0 within this many seconds of its start
// (its end seen at the pass after it, at the latest) counts as short:
// "short_runs" counts those in a row, the mark of a program that puts
// itself in the background.
inline constexpr long long short_run_seconds = 6;

inline constexpr char tracked_cgroup[] = "cgroup";
inline constexpr char tracked_process_tree[] = "process_tree";

// The states a slot can be in, as the document names them.
enum class slot_state : std::uint8_t {
    running,    // its child runs
    exited,     // its child has ended and waits for its reap
    ended,      // mode none now, after a run in this turn (a once task)
    off,        // mode none, not started in this turn
    held_back,  // due, and a not-run marker holds it back
    waiting,    // due, and started at the next pass
    stopped,    // held down by the operator (vorn_restart_ctl stop) until started
    refused,    // its entry cannot be honoured (a user that does not exist...): never started
};
inline constexpr std::size_t slot_state_count = 8;

inline constexpr std::array<const char*, slot_state_count> slot_state_names = {
    "running", "exited", "ended", "off", "held_back", "waiting", "stopped", "refused"};

constexpr const char* slot_state_name(slot_state state) {
    return slot_state_names[static_cast<std::size_t>(state)];
}

// The state a name stands for; false when it names none.
constexpr bool slot_state_of(std::string_view name, slot_state* state) {
    for (std::size_t i = 0; i < slot_state_count; ++i)
        if (name == slot_state_names[i]) {
            *state = static_cast<slot_state>(i);
            return true;
        }
    return false;
}

}  // namespace vorn
