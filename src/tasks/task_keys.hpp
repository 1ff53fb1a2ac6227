// The keys of a task entry as the file writes them: a key given twice, a
// key that is no key of a task entry but looks like one of those that say
// who a task runs as and with what, and numbers too large for the parser.
// Read by the configuration step (config.cpp, config_settings.cpp) and
// the configuration check.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include <jansson.h>

namespace vorn {

// Every key of a task entry: "name", "system", "mode", "argument", then
// the keys from "user" on (task_settings.hpp), from first_settings_key.
inline constexpr std::array<const char*, 13> task_entry_keys = {"name",
                                                                "system",
                                                                "mode",
                                                                "argument",
                                                                "user",
                                                                "group",
                                                                "directory",
                                                                "environment",
                                                                "limits",
                                                                "nice",
                                                                "oom_score_adjust",
                                                                "no_new_privileges",
                                                                "capabilities"};
inline constexpr std::size_t first_settings_key = 4;

// An unknown key against the known ones.  `nearest` is the known key at
// the fewest edits (letters added, dropped or changed, two neighbours
// swapped, the case of a letter not counted); `refused` when that key is
// one of those from "user" on and at most 2 edits away (a key as near to
// "name", "system", "mode" or "argument" as to it is refused too, one
// nearer to those only is not).
struct key_verdict {
    bool known;
    bool refused;
    std::size_t nearest;  // in task_entry_keys
    std::size_t edits;
};
key_verdict judge_task_key(std::string_view key);

// Edits from a to b as judge_task_key counts them.
std::size_t key_edits(std::string_view a, std::string_view b);

// The first fault of the entry's keys, as the reason its task is refused:
// a key from "user" on, or a member of "limits" or "environment", given
// more than once (found in `entry`, the entry's text as written, since the
// parser keeps only the last), or an unknown key near one from "user" on.
// False when there is none.
bool task_key_fault(const json_t* task, std::string_view entry, char* reason, std::size_t size);

// The number as written when the value is a number the parser could not
// hold, as the configuration step's copy wraps it ({"":"1e400"}); else nullptr.
const char* large_number_text(const json_t* value);

// Whether such a number is written as an integer (no fraction, no exponent).
bool large_number_is_integer(const char* text);

// An object of the file: one that is not such a wrapped number.
bool is_written_object(const json_t* value);

}  // namespace vorn
