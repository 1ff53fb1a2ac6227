// The configuration file: tasks read afresh at every turn of the cycle.
#pragma once

#include <array>
#include <cstddef>

#include <jansson.h>

#include "tasks/task_table.hpp"

namespace vorn {

inline constexpr const char config_file_name[] = "vorn_restart.conf";
// At most this many bytes of the file are read.
inline constexpr std::size_t config_read_limit = 10239;

// A parsed document, released when it goes out of scope.  A holder of its
// own rather than std::unique_ptr, whose header brings the C++ library's
// streams and locales along: the programs also build against C libraries
// other than glibc, without the C++ runtime library.
class json_document {
public:
    json_document() = default;
    json_document(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): "no document"
    explicit json_document(json_t* json) : json_(json) {}
    json_document(json_document&& other) noexcept : json_(other.json_) { other.json_ = nullptr; }
    json_document& operator=(json_document&& other) noexcept {
        if (this != &other) {
            reset();
            json_ = other.json_;
            other.json_ = nullptr;
        }
        return *this;
    }
    json_document(const json_document&) = delete;
    json_document& operator=(const json_document&) = delete;
    ~json_document() { reset(); }

    json_t* get() const { return json_; }
    explicit operator bool() const { return json_ != nullptr; }
    void reset() {
        json_decref(json_);  // nothing for no document
        json_ = nullptr;
    }

private:
    json_t* json_ = nullptr;
};

// Why a configuration is unusable.  The supervisor keeps quiet about it
// (it only reports a file it cannot open); the configuration checker prints it.
struct config_problem {
    int task_index = -1;               // element of "tasks" at fault, -1 for the file
    const char* key = nullptr;         // member at fault, nullptr for the file itself
    std::array<char, 64> task_name{};  // that element's "name" when it is a usable one
    std::array<char, 512> text{};
    // The supervisor still reports a file it cannot open with perror.
    bool report_open_failure = false;
};

// One line for the problem: "tasks[i] ("name"): text", "tasks[i]: text",
// or the text alone for the file as a whole.  False when cut to fit.
bool format_config_problem(char* buf, std::size_t size, const config_problem& problem);

// Per slot, how many "argument" elements the configuration step found for
// its task (0 for a slot it did not write).  An empty element ends the
// arguments a task is started with; this tells how many the file gave.
extern std::array<std::size_t, task_slot_count> configured_arguments;

// Path of the configuration file, "<config_path>vorn_restart.conf".
const char* config_file_path();

// Reads and parses the configuration file (`path`, or the file in
// config_path when it is nullptr).  Returns nothing when the file cannot be
// opened or does not parse.  A file that cannot be opened is reported with
// perror("fopen") unless the caller asked for a problem description, which
// then says it.
json_document load_config(config_problem* problem = nullptr, const char* path = nullptr);

// The configuration step of a turn: writes one slot per configured task,
// from slot 0 on, killing stale copies of each task by name first.  Returns
// false when the configuration is unusable; slots written before the fault
// was found stay as they are until the next turn clears the table.
bool apply_config(config_problem* problem = nullptr, const char* path = nullptr);
// The same, but nothing is killed by name: the tasks are written into the
// table (after the built-in ones, as a turn writes them) and the caller
// decides what to kill.
bool read_config_tasks(config_problem* problem, const char* path = nullptr);

}  // namespace vorn
