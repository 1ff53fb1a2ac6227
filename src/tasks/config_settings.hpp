// The optional keys of a task entry: who the task runs as, where, with what
// environment and limits (see task_settings.hpp).  Read by the
// configuration step as it writes each slot.
#pragma once

#include <cstddef>
#include <string_view>

#include <jansson.h>

namespace vorn {

// Whether the entry has any of the keys (of whatever type), or an unknown
// key that refuses it as one of them misspelt (task_keys.hpp).
bool has_task_settings(const json_t* task);

// Reads the keys of the entry into the slot's settings, which are then in
// use; users and groups are resolved here, through sys.  `entry` is the
// entry's text as written, where keys given twice are found.  A key given
// twice or misspelt, a key of the wrong type or out of range, a user or
// group that does not exist, leaves the slot refused with the reason: the
// task never runs, the other tasks are not concerned.
void read_task_settings(std::size_t slot, const json_t* task, std::string_view entry);

}  // namespace vorn
