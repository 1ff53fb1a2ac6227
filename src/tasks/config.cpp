#include "tasks/config.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/settings.hpp"
#include "base/text.hpp"
#include "base/system_ops.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

std::array<char, 1024> config_name{};
static_assert(setting_size - 1 + sizeof(config_file_name) <= sizeof(config_name));
std::array<char, config_read_limit + 1> config_text{};

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

// A text that a fixed field of `size` bytes holds exactly as it is.
bool fits_field(std::string_view text, std::size_t size) {
    return text.size() < size && text.find('\0') == std::string_view::npos;
}

// Checks one element of "tasks" against what a slot can hold.
bool check_task(const json_t* task, int index, config_problem* problem) {
    const json_t* name = json_object_get(task, "name");
    if (!name)
        return describe(problem, index, "name",
                        json_is_object(task) ? "\"name\" is missing" : "the task is not an object");
    if (!json_is_string(name)) return describe(problem, index, "name", "\"name\" is not a string");
    const std::string_view text = string_of(name);
    if (text.empty()) return describe(problem, index, "name", "\"name\" is empty");
    if (!fits_field(text, task_name_size))
        return describe(problem, index, "name", "\"name\" has %zu characters, at most %zu fit",
                        text.size(), task_name_size - 1);
    if (text.find('/') != std::string_view::npos)
        return describe(problem, index, "name",
                        "\"name\" contains a '/': it must name a file in %s", sbin_path.data());
    if (std::strlen(sbin_path.data()) + text.size() >= task_path_size)
        return describe(problem, index, "name", "the path %s%s is longer than %zu characters",
                        sbin_path.data(), json_string_value(name), task_path_size - 1);

    const json_t* arguments = json_object_get(task, "argument");
    if (!json_is_array(arguments)) return true;  // absent or another type: no arguments
    const std::size_t count = json_array_size(arguments);
    if (count > task_argument_count)
        return describe(problem, index, "argument", "\"argument\" has %zu elements, at most %zu fit",
                        count, task_argument_count);
    for (std::size_t k = 0; k < count; ++k) {
        const json_t* argument = json_array_get(arguments, k);
        if (!json_is_string(argument))
            return describe(problem, index, "argument", "\"argument\" element %zu is not a string",
                            k);
        const std::string_view value = string_of(argument);
        // An empty entry would end the argument list early.
        if (value.empty())
            return describe(problem, index, "argument", "\"argument\" element %zu is empty", k);
        if (!fits_field(value, task_argument_size))
            return describe(problem, index, "argument",
                            "\"argument\" element %zu has %zu characters, at most %zu fit", k,
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

// Writes a checked task into its slot, after killing stale copies of it.
void write_task(task_info& slot, const json_t* task) {
    const json_t* system = json_object_get(task, "system");
    if (json_is_integer(system))  // low 32 bits, as the field holds them
        slot.task_system = static_cast<std::int32_t>(static_cast<std::uint32_t>(json_integer_value(system)));

    const char* name = json_string_value(json_object_get(task, "name"));
    sys.kill_by_name(name, kill_output::stderr_kept);
    // Both fit: check_task measured them.
    format_text(slot.task_path.data(), slot.task_path.size(), "%s%s", sbin_path.data(), name);
    copy_text(slot.task_name, name);

    slot.task_mode = mode_of(json_object_get(task, "mode"));

    for (auto& argument : slot.task_argument) argument.fill('\0');
    const json_t* arguments = json_object_get(task, "argument");
    if (json_is_array(arguments))
        for (std::size_t k = 0; k < json_array_size(arguments); ++k)
            copy_text(slot.task_argument[k], string_of(json_array_get(arguments, k)));

    ++task_info_size;
    slot.task_pid = 0;
}

}  // namespace

const char* config_file_path() {
    format_text(config_name.data(), config_name.size(), "%s%s", config_path.data(),
                config_file_name);
    return config_name.data();
}

json_document load_config(config_problem* problem, const char* path) {
    if (!path) path = config_file_path();
    const long length = sys.read_file(path, config_text.data(), config_read_limit);
    if (length < 0) {
        const int error = errno;
        if (!problem) std::perror("fopen");
        describe(problem, -1, nullptr, "cannot open %s: %s", path, std::strerror(error));
        return nullptr;
    }
    config_text[static_cast<std::size_t>(length)] = '\0';
    json_error_t error;
    json_document document{json_loads(config_text.data(), 0, &error)};
    if (!document && static_cast<std::size_t>(length) == config_read_limit)
        describe(problem, -1, nullptr, "%s: line %d, column %d: %s (only the first %zu bytes are read)",
                 path, error.line, error.column, error.text, config_read_limit);
    else if (!document)
        describe(problem, -1, nullptr, "%s: line %d, column %d: %s", path, error.line,
                 error.column, error.text);
    return document;
}

bool apply_config(config_problem* problem, const char* path) {
    const json_document document = load_config(problem, path);
    if (!document) return false;

    const json_t* tasks = json_object_get(document.get(), "tasks");
    if (!tasks)
        return describe(problem, -1, "tasks",
                        json_is_object(document.get()) ? "\"tasks\" is missing"
                                                         : "the document is not an object");
    if (!json_is_array(tasks)) return describe(problem, -1, "tasks", "\"tasks\" is not an array");

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
        write_task(task_table[i], task);
    }
    return true;
}

}  // namespace vorn
