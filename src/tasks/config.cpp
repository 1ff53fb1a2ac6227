// Reading the configuration file into the task table (see config.hpp).
#include "tasks/config.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/json_text.hpp"
#include "base/platform.hpp"
#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "tasks/config_settings.hpp"
#include "tasks/task_keys.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

std::array<char, 1024> config_name{};
static_assert(setting_size - 1 + sizeof(config_file_name) <= sizeof(config_name));
// Every configured name fits one kill-by-name run.
static_assert(task_slot_count <= kill_names_per_run);
alignas(rarely_used) std::array<char, config_read_limit + 1> config_text{};
// The text again with each number too large for the parser wrapped
// (json_text.hpp), only ever written when the file holds one.
alignas(rarely_used) std::array<char, json_wrapped_size(config_read_limit)> wrapped_text{};
// The text the last document was parsed from, as the file writes it: where
// the configuration step finds each entry's keys as written.
std::string_view loaded_text;

bool describe(config_problem* problem, int task_index, const char* key, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Fills in the problem (when the caller wants one) and answers "unusable".
bool describe(config_problem* problem, int task_index, const char* key, const char* format, ...) {
    if (problem) {
        problem->task_index = task_index;
        problem->key = key;
        std::va_list args;
        va_start(args, format);
        if (!vformat_text(problem->text.data(), problem->text.size(), format, args))
            copy_text(problem->text, "(description too long)");
        va_end(args);
    }
    return false;
}

std::string_view string_of(const json_t* value) {
    return {json_string_value(value), json_string_length(value)};
}

const char* type_name(const json_t* value) {
    if (large_number_text(value)) return "a number";
    switch (json_typeof(value)) {
        case JSON_OBJECT: return "an object";
        case JSON_ARRAY: return "an array";
        case JSON_STRING: return "a string";
        case JSON_INTEGER:
        case JSON_REAL: return "a number";
        case JSON_TRUE:
        case JSON_FALSE: return "a boolean";
        case JSON_NULL: break;
    }
    return "null";
}

// Where in the text a byte offset lies, counted from 1 as the parser does.
struct text_position {
    std::size_t line, column;
};

text_position position_of(std::string_view text, std::size_t offset) {
    text_position at{1, 1};
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++at.line;
            at.column = 1;
        } else {
            ++at.column;
        }
    }
    return at;
}

// Says why the text read does not parse, in words for the operator.
void describe_parse_error(config_problem* problem, const char* path, std::string_view text,
                          const json_error_t& error) {
    const enum json_error_code code = json_error_code(&error);
    if (code == json_error_null_character)
        describe(problem, -1, nullptr,
                 "%s: line %d, column %d: a string holds \\u0000, which no task field can hold",
                 path, error.line, error.column);
    // A value that breaks off at the end of what was read, in a file cut
    // at the read limit: the limit is to blame.  The last few bytes may be
    // a character cut in two.
    else if (text.size() == config_read_limit && code != json_error_stack_overflow &&
             static_cast<std::size_t>(error.position) + 4 >= text.size())
        describe(problem, -1, nullptr,
                 "%s: line %d, column %d: %s (only the first %zu bytes are read)", path, error.line,
                 error.column, error.text, config_read_limit);
    else
        describe(problem, -1, nullptr, "%s: line %d, column %d: %s", path, error.line, error.column,
                 error.text);
}

// An error told "near '{'" where the copy has a wrapped number: near the
// number itself, as the text writes it.  The last byte of the error's text
// is the parser's code for it, and stays.
void name_the_number(json_error_t* error, std::string_view number) {
    constexpr std::string_view near_wrapping = " near '{'";
    const std::string_view said(error->text);
    const std::size_t lead = said.size() - near_wrapping.size();
    if (said.size() < near_wrapping.size() || tail_from(said, lead) != near_wrapping) return;
    std::array<char, JSON_ERROR_TEXT_LENGTH - 1> text{};
    if (format_text(text.data(), text.size(), "%.*s near '%.*s'", static_cast<int>(lead),
                    error->text, static_cast<int>(head(number, 40).size()), number.data()))
        std::memcpy(error->text, text.data(), std::strlen(text.data()) + 1);
}

// Parses the text again with its numbers too large for the parser wrapped,
// so that each refuses only what holds it.  A fault elsewhere in the text
// is told at its place in the text (*error), not in the copy.
json_document load_wrapped(std::string_view text, json_error_t* error) {
    std::size_t count = 0;
    const std::size_t length =
        json_wrap_large_numbers(text, wrapped_text.data(), wrapped_text.size(), &count);
    if (length == 0 || count == 0) return nullptr;  // the parser's own error stands
    json_document document{json_loadb(wrapped_text.data(), length, JSON_DECODE_ANY, error)};
    if (document) return document;
    const json_text_place place = json_place_in_text(text, {wrapped_text.data(), length},
                                                     static_cast<std::size_t>(error->position));
    error->position = static_cast<int>(place.offset);
    error->column -= static_cast<int>(place.line_growth);
    // At a wrapped number the parser read the wrapping's '{': the text has the number.
    if (place.number > 0)
        name_the_number(error, {text.data() + place.offset - place.number, place.number});
    return nullptr;
}

// Refuses what the parser would misreport: no text at all, a byte-order
// mark, a NUL byte.  True when the text may go to the parser.
bool plain_text(config_problem* problem, const char* path, std::string_view text) {
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return describe(problem, -1, nullptr, "%s is empty", path);
    if (head(text, 3) == "\xef\xbb\xbf")
        return describe(problem, -1, nullptr,
                        "%s starts with a UTF-8 byte-order mark, which JSON does not allow: save "
                        "the file without one",
                        path);
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        const text_position at = position_of(text, nul);
        return describe(problem, -1, nullptr,
                        "%s: line %zu, column %zu: a NUL byte, which a text file does not hold",
                        path, at.line, at.column);
    }
    return true;
}

// A text that a fixed field of `size` bytes holds exactly as it is.
bool fits_field(std::string_view text, std::size_t size) {
    return text.size() < size && text.find('\0') == std::string_view::npos;
}

// "system": an integer must fit 32 bits; another type leaves the default.
bool check_system(const json_t* system, int index, config_problem* problem) {
    if (json_is_integer(system)) {
        const json_int_t value = json_integer_value(system);
        if (value < INT32_MIN || value > INT32_MAX)
            return describe(problem, index, "system",
                            "\"system\" is %" JSON_INTEGER_FORMAT ", outside %" PRId32
                            " to %" PRId32,
                            value, INT32_MIN, INT32_MAX);
    }
    // An integer too large for the parser is as far outside; a real is not
    // an integer and leaves the default, as "system": 1.0 does.
    const char* large = large_number_text(system);
    if (large && large_number_is_integer(large))
        return describe(problem, index, "system",
                        "\"system\" is %s, outside %" PRId32 " to %" PRId32, large, INT32_MIN,
                        INT32_MAX);
    return true;
}

// Checks one element of "tasks" against what a slot can hold.
bool check_task(const json_t* task, int index, config_problem* problem) {
    const bool object = is_written_object(task);
    const json_t* name = object ? json_object_get(task, "name") : nullptr;
    if (!name)
        return describe(problem, index, "name",
                        object ? "\"name\" is missing" : "the task is not an object");
    if (!json_is_string(name)) return describe(problem, index, "name", "\"name\" is not a string");
    const std::string_view text = string_of(name);
    if (text.empty()) return describe(problem, index, "name", "\"name\" is empty");
    if (!fits_field(text, task_name_size))
        return describe(problem, index, "name", "\"name\" has %zu bytes, at most %zu fit",
                        text.size(), task_name_size - 1);
    if (text.find('/') != std::string_view::npos)
        return describe(problem, index, "name",
                        "\"name\" contains a '/': it must name a file in %s", sbin_path.data());
    if (std::strlen(sbin_path.data()) + text.size() >= task_path_size)
        return describe(problem, index, "name", "the path %s%s is longer than %zu bytes",
                        sbin_path.data(), json_string_value(name), task_path_size - 1);
    if (kill_by_name_reaches(text, own_names))
        return describe(problem, index, "name",
                        "\"name\" is the supervisor's own process name: killing stale copies of "
                        "the task would kill the supervisor at every turn");

    if (!check_system(json_object_get(task, "system"), index, problem)) return false;

    const json_t* arguments = json_object_get(task, "argument");
    if (!json_is_array(arguments)) return true;  // absent or another type: no arguments
    const std::size_t count = json_array_size(arguments);
    if (count > task_argument_count)
        return describe(problem, index, "argument",
                        "\"argument\" has %zu elements, at most %zu fit", count,
                        task_argument_count);
    for (std::size_t k = 0; k < count; ++k) {
        const json_t* argument = json_array_get(arguments, k);
        if (!json_is_string(argument))
            return describe(problem, index, "argument", "\"argument\" element %zu is not a string",
                            k);
        // An empty element is kept: it ends the arguments the task is
        // started with, and the ones after it are not passed.
        const std::string_view value = string_of(argument);
        if (!fits_field(value, task_argument_size))
            return describe(problem, index, "argument",
                            "\"argument\" element %zu has %zu bytes, at most %zu fit", k,
                            value.size(), task_argument_size - 1);
    }
    return true;
}

std::int32_t mode_of(const json_t* mode) {
    if (!json_is_string(mode)) return mode_always;
    const std::string_view text = string_of(mode);
    if (text == "once") return mode_once;
    if (text == "none") return mode_none;
    return mode_always;
}

// The entries of "tasks" as the file writes them, found one after the
// other as they are asked for (an entry without settings never asks).
struct written_entries {
    bool started;       // "tasks" looked for
    std::size_t index;  // of the entry json_next_element finds next
    std::size_t next;   // its cursor, json_nowhere once there is none
};

std::string_view entry_text(written_entries& entries, std::size_t index) {
    const std::string_view text = loaded_text;
    if (!entries.started) {
        entries.started = true;
        entries.next = json_last_value(text, text.find_first_not_of(" \t\r\n"), "tasks");
    }
    std::size_t at = 0;
    while (entries.next != json_nowhere && entries.index <= index) {
        if (!json_next_element(text, &entries.next, &at)) {
            entries.next = json_nowhere;
            break;
        }
        if (entries.index++ == index) return {text.data() + at, entries.next - at};
    }
    return {};
}

// Writes a checked task into its slot; its stale copies are killed by name
// with the others when the configuration step ends.
void write_task(std::size_t slot_index, const json_t* task, written_entries& entries) {
    task_info& slot = task_table[slot_index];
    const json_t* system = json_object_get(task, "system");
    if (json_is_integer(system))  // check_task made sure it fits
        slot.task_system = static_cast<std::int32_t>(json_integer_value(system));

    const char* name = json_string_value(json_object_get(task, "name"));
    // Both fit: check_task measured them.
    format_text(slot.task_path.data(), slot.task_path.size(), "%s%s", sbin_path.data(), name);
    copy_text(slot.task_name, name);

    slot.task_mode = mode_of(json_object_get(task, "mode"));

    for (auto& argument : slot.task_argument) argument.fill('\0');
    const json_t* arguments = json_object_get(task, "argument");
    const std::size_t given = json_is_array(arguments) ? json_array_size(arguments) : 0;
    for (std::size_t k = 0; k < given; ++k)
        copy_text(slot.task_argument[k], string_of(json_array_get(arguments, k)));
    configured_arguments[slot_index] = given;
    // Only an entry with settings touches their table.
    if (has_task_settings(task))
        read_task_settings(slot_index, task, entry_text(entries, slot_index));

    ++task_info_size;
    slot.task_pid = 0;
}

}  // namespace

std::array<std::size_t, task_slot_count> configured_arguments{};

const char* config_file_path() {
    format_text(config_name.data(), config_name.size(), "%s%s", config_path.data(),
                config_file_name);
    return config_name.data();
}

bool format_config_problem(char* buf, std::size_t size, const config_problem& problem) {
    if (problem.task_index < 0) return format_text(buf, size, "%s", problem.text.data());
    if (problem.task_name[0] != '\0')
        return format_text(buf, size, "tasks[%d] (\"%s\"): %s", problem.task_index,
                           problem.task_name.data(), problem.text.data());
    return format_text(buf, size, "tasks[%d]: %s", problem.task_index, problem.text.data());
}

json_document load_config(config_problem* problem, const char* path) {
    if (!path) path = config_file_path();
    const long length = sys.read_file(path, config_text.data(), config_read_limit);
    if (length < 0) {
        const int error = errno;
        if (!problem || problem->report_open_failure) std::perror("fopen");
        describe(problem, -1, nullptr, "cannot open %s: %s", path, std::strerror(error));
        return nullptr;
    }
    // Parsed over exactly the bytes read, so that nothing after a NUL byte
    // goes unseen.  Any JSON value is accepted here, so that a document
    // that is not an object is told as such rather than as a syntax error.
    const std::string_view text(config_text.data(), static_cast<std::size_t>(length));
    loaded_text = {};
    if (!plain_text(problem, path, text)) return nullptr;
    json_error_t error;
    json_document document{json_loadb(text.data(), text.size(), JSON_DECODE_ANY, &error)};
    if (!document && json_error_code(&error) == json_error_numeric_overflow)
        document = load_wrapped(text, &error);
    if (!document) describe_parse_error(problem, path, text, error);
    if (document) loaded_text = text;
    return document;
}

namespace {

// Writes the tasks of the document into the table, from slot 0 on, up to
// the first task at fault.  *written counts the slots written either way.
bool write_tasks(const json_t* document, config_problem* problem, std::size_t* written) {
    if (!is_written_object(document))
        return describe(problem, -1, "tasks", "the document is %s, not an object",
                        type_name(document));
    const json_t* tasks = json_object_get(document, "tasks");
    if (!tasks) return describe(problem, -1, "tasks", "\"tasks\" is missing");
    if (!json_is_array(tasks)) return describe(problem, -1, "tasks", "\"tasks\" is not an array");

    written_entries entries{false, 0, json_nowhere};
    const std::size_t count = json_array_size(tasks);
    for (std::size_t i = 0; i < count; ++i) {
        const int index = static_cast<int>(i);
        if (i >= task_slot_count)
            return describe(problem, index, nullptr, "more than %zu tasks: the table has %zu slots",
                            task_slot_count, task_slot_count);
        const json_t* task = json_array_get(tasks, i);
        if (!check_task(task, index, problem)) {
            // Names the faulty task for the reader, when its name is usable.
            const json_t* name = json_object_get(task, "name");
            if (problem && json_is_string(name)) copy_text(problem->task_name, string_of(name));
            return false;
        }
        write_task(i, task, entries);
        *written = i + 1;
    }
    return true;
}

}  // namespace

bool read_config_tasks(config_problem* problem, const char* path) {
    task_table.fill(empty_task);
    clear_task_settings();
    task_info_size = 0;
    add_builtin_tasks(false);
    configured_arguments.fill(0);
    const json_document document = load_config(problem, path);
    if (!document) return false;
    std::size_t written = 0;
    return write_tasks(document.get(), problem, &written);
}

bool apply_config(config_problem* problem, const char* path) {
    configured_arguments.fill(0);
    clear_task_settings();
    const json_document document = load_config(problem, path);
    if (!document) return false;
    std::size_t written = 0;
    const bool usable = write_tasks(document.get(), problem, &written);
    // Stale copies of every task written, the ones before a task at fault
    // too, in one kill-by-name run before anything is started.
    std::array<const char*, task_slot_count> names{};
    for (std::size_t i = 0; i < written; ++i) names[i] = task_table[i].task_name.data();
    kill_stale_copies(names.data(), written, kill_output::stderr_kept);
    return usable;
}

}  // namespace vorn
