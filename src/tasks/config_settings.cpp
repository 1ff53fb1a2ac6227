// Reading the optional keys of a task entry (see config_settings.hpp).
#include "tasks/config_settings.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "tasks/task_keys.hpp"
#include "tasks/task_settings.hpp"

namespace vorn {

namespace {

// The largest id a user or group can have: (uid_t)-1 means "no change" to
// setuid and setgid.
constexpr long long id_max = UINT32_MAX - 1LL;

bool refuse(task_settings& s, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Says why the task does not run (the first fault found counts) and
// answers false.  A reason too long for its field still refuses the task.
bool refuse(task_settings& s, const char* format, ...) {
    if (s.refusal[0] != '\0') return false;
    std::va_list args;
    va_start(args, format);
    const bool fits = vformat_text(s.refusal.data(), s.refusal.size(), format, args);
    va_end(args);
    if (!fits) copy_text(s.refusal, "a key of the task is at fault, and the reason is too long");
    return false;
}

std::string_view string_of(const json_t* value) {
    return {json_string_value(value), json_string_length(value)};
}

// A value as a reason shows it: a number, true, false or null as written
// (one too large for the parser too), a short string in quotes, anything
// else by its type.
using value_text = std::array<char, 48>;
value_text shown_value(const json_t* value) {
    value_text text{};
    if (const char* number = large_number_text(value)) {
        if (!copy_text(text, number)) copy_text(text, "a number too long to show");
        return text;
    }
    switch (json_typeof(value)) {
        case JSON_INTEGER:
            format_text(text.data(), text.size(), "%" JSON_INTEGER_FORMAT,
                        json_integer_value(value));
            break;
        case JSON_REAL: {
            char* dumped = json_dumps(value, JSON_ENCODE_ANY);
            if (!dumped || !copy_text(text, dumped)) copy_text(text, "a number that is not whole");
            std::free(dumped);
            break;
        }
        case JSON_STRING:
            if (!format_text(text.data(), text.size(), "\"%s\"", json_string_value(value)) ||
                std::strlen(text.data()) != json_string_length(value) + 2)
                copy_text(text, "a long string");
            break;
        case JSON_TRUE: copy_text(text, "true"); break;
        case JSON_FALSE: copy_text(text, "false"); break;
        case JSON_NULL: copy_text(text, "null"); break;
        case JSON_OBJECT: copy_text(text, "an object"); break;
        case JSON_ARRAY: copy_text(text, "an array"); break;
    }
    return text;
}

// A JSON integer (never a real) within [low, high].
bool whole_in(const json_t* value, long long low, long long high, long long* out) {
    if (!json_is_integer(value)) return false;
    const json_int_t n = json_integer_value(value);
    if (n < low || n > high) return false;
    *out = n;
    return true;
}

// A text that holds no NUL byte and fits a field of `size` bytes.
bool fits(std::string_view text, std::size_t size) {
    return text.size() < size && text.find('\0') == std::string_view::npos;
}

// "user" or "group": a non-empty name or a number.  *number is -1 for a name.
bool read_id(task_settings& s, const char* key, const json_t* value, long long* number) {
    *number = -1;
    if (whole_in(value, 0, id_max, number)) return true;
    const std::string_view name = json_is_string(value) ? string_of(value) : std::string_view();
    if (!name.empty() && fits(name, task_user_name_size)) return true;
    return refuse(s, "\"%s\" is %s: give a name of at most %zu bytes or a number from 0 to %lld",
                  key, shown_value(value).data(), task_user_name_size - 1, id_max);
}

// The lookups' failures, in words.
bool refuse_lookup(task_settings& s, int found, const char* what, const char* name) {
    if (found == 0) return refuse(s, "%s %s does not exist", what, name);
    return refuse(s, "%s %s cannot be looked up: %s", what, name, std::strerror(errno));
}

// The groups of a user that has an entry, `gid` first among them.
bool read_groups(task_settings& s, const char* name) {
    std::array<gid_t, task_group_max> groups{};
    const long count = sys.user_groups(name, s.gid, groups.data(), groups.size());
    if (count < 0)
        return refuse(s, "the groups of user %s cannot be looked up: %s", name,
                      std::strerror(errno));
    if (static_cast<unsigned long>(count) > task_group_max)
        return refuse(s, "user %s belongs to %ld groups, more than the %zu a task can keep", name,
                      count, task_group_max);
    s.groups = groups;
    s.group_count = static_cast<std::size_t>(count);
    return true;
}

// The group given, by name or number, into s.gid: one that has an entry.
bool read_group(task_settings& s, const json_t* group) {
    long long number = -1;
    if (!read_id(s, "group", group, &number)) return false;
    if (number >= 0) {
        s.gid = static_cast<gid_t>(number);
        std::array<char, 24> shown{};
        format_text(shown.data(), shown.size(), "%lld", number);
        const int found = sys.find_group_id(s.gid);
        return found == 1 || refuse_lookup(s, found, "group", shown.data());
    }
    const int found = sys.find_group(json_string_value(group), &s.gid);
    return found == 1 || refuse_lookup(s, found, "group", json_string_value(group));
}

// What uid 0 keeps whatever its capability sets, said when "capabilities"
// would leave a task as uid 0.
constexpr char uid_0_keeps[] = "which owns root's files and commands the supervisor";

// USER, LOGNAME and HOME of a user that has an entry named `name`.
bool read_home(task_settings& s, const char* name) {
    copy_text(s.login, name);
    const int found = sys.find_user_home(name, s.home.data(), s.home.size());
    if (found == 1) return true;
    if (found == 0) return refuse(s, "user %s does not exist", name);
    return refuse(s, "the home directory of user %s cannot be looked up: %s", name,
                  std::strerror(errno));
}

// "user" and "group", resolved now: the child only applies them.
bool read_identity(task_settings& s, const json_t* task) {
    const json_t* user = json_object_get(task, "user");
    const json_t* group = json_object_get(task, "group");
    if (!user && group) return refuse(s, "\"group\" is given without \"user\": name the user too");
    if (!user && s.capabilities_set)
        return refuse(s,
                      "\"capabilities\" is given without \"user\": the task would stay uid 0, %s; "
                      "name the user to run it as",
                      uid_0_keeps);
    if (!user) return true;
    long long number = -1;
    if (!read_id(s, "user", user, &number)) return false;
    std::array<char, task_user_name_size> name{};
    gid_t primary = 0;
    int found = 0;
    if (number >= 0) {
        s.uid = static_cast<uid_t>(number);
        format_text(s.user_name.data(), s.user_name.size(), "%lld", number);
        found = sys.find_user_id(s.uid, name.data(), name.size(), &primary);
    } else {
        copy_text(s.user_name, string_of(user));
        copy_text(name, string_of(user));
        found = sys.find_user(name.data(), &s.uid, &primary);
    }
    if (found < 0 || (found == 0 && number < 0))
        return refuse_lookup(s, found, "user", s.user_name.data());
    if (found == 0 && !group)
        return refuse(s, "user %s has no entry in the user database: give \"group\" too",
                      s.user_name.data());
    if (s.uid == 0 && s.capabilities_set)
        return refuse(s, "\"capabilities\" is given with user %s (uid 0), %s; name another user",
                      s.user_name.data(), uid_0_keeps);
    s.gid = primary;
    if (group && !read_group(s, group)) return false;
    if (found == 1 && (!read_home(s, name.data()) || !read_groups(s, name.data()))) return false;
    s.identity = true;
    if (found == 1) return true;
    copy_text(s.login, s.user_name.data());  // no entry: the number, home "/",
    copy_text(s.home, "/");                  // no supplementary groups
    s.groups[0] = s.gid;
    s.group_count = 1;
    return true;
}

bool read_directory(task_settings& s, const json_t* value) {
    const std::string_view path = json_is_string(value) ? string_of(value) : std::string_view();
    if (!path.empty() && path.front() == '/' && fits(path, s.directory.size()))
        return copy_text(s.directory, path);
    return refuse(s, "\"directory\" is %s: give an absolute path of at most %zu bytes",
                  shown_value(value).data(), s.directory.size() - 1);
}

bool read_variable(task_settings& s, const char* name, const json_t* value) {
    const std::string_view text(name);
    if (text.empty() || text.find('=') != std::string_view::npos)
        return refuse(s, "\"environment\" has the name \"%s\": a name is not empty and has no '='",
                      name);
    if (!json_is_string(value))
        return refuse(s, "\"environment\".\"%s\" is %s: give a string", name,
                      shown_value(value).data());
    const std::string_view given = string_of(value);
    auto& variable = s.variables[s.variable_count];
    if (given.find('\0') != std::string_view::npos ||
        !format_text(variable.data(), variable.size(), "%s=%s", name, json_string_value(value)))
        return refuse(s,
                      "\"environment\".\"%s\" does not fit: name and value take at most %zu "
                      "bytes together",
                      name, task_variable_size - 2);
    ++s.variable_count;
    return true;
}

bool read_environment(task_settings& s, const json_t* value) {
    if (!is_written_object(value))
        return refuse(s, "\"environment\" is %s: give an object of names and strings",
                      shown_value(value).data());
    if (json_object_size(value) > task_environment_max)
        return refuse(s, "\"environment\" has %zu variables, at most %zu fit",
                      json_object_size(value), task_environment_max);
    const char* name = nullptr;
    const json_t* text = nullptr;
    json_object_foreach(const_cast<json_t*>(value), name, text) {
        if (!read_variable(s, name, text)) return false;
    }
    return true;
}

int limit_of(const char* name) {
    for (std::size_t i = 0; i < task_limit_count; ++i)
        if (std::strcmp(name, task_limit_names[i]) == 0) return static_cast<int>(i);
    return -1;
}

bool read_limits(task_settings& s, const json_t* value) {
    if (!is_written_object(value))
        return refuse(s, "\"limits\" is %s: give an object", shown_value(value).data());
    const char* name = nullptr;
    const json_t* limit = nullptr;
    json_object_foreach(const_cast<json_t*>(value), name, limit) {
        const int which = limit_of(name);
        if (which < 0)
            return refuse(s,
                          "\"limits\" has \"%s\", which is not a limit: known are open_files, "
                          "processes, memory, core, cpu_seconds, file_size, stack",
                          name);
        long long number = 0;
        const bool unlimited = json_is_string(limit) && string_of(limit) == "unlimited";
        const char* large = large_number_text(limit);
        if (large && large[0] != '-' && large_number_is_integer(large))
            return refuse(s,
                          "\"limits\".\"%s\" is %s: give at most %" PRId64
                          ", or \"unlimited\" for no limit",
                          name, shown_value(limit).data(), INT64_MAX);
        if (!unlimited && !whole_in(limit, 0, INT64_MAX, &number))
            return refuse(s,
                          "\"limits\".\"%s\" is %s: give a non-negative integer or "
                          "\"unlimited\"",
                          name, shown_value(limit).data());
        const auto index = static_cast<std::size_t>(which);
        s.limits[index] = unlimited ? limit_unlimited : static_cast<std::uint64_t>(number);
        s.limits_set |= 1U << index;
    }
    return true;
}

bool read_whole(task_settings& s, const char* key, const json_t* value, long long low,
                long long high, int* out) {
    long long number = 0;
    if (!whole_in(value, low, high, &number))
        return refuse(s, "\"%s\" is %s: give a whole number from %lld to %lld", key,
                      shown_value(value).data(), low, high);
    *out = static_cast<int>(number);
    return true;
}

bool read_nice(task_settings& s, const json_t* value) {
    s.nice_set = true;
    return read_whole(s, "nice", value, -20, 19, &s.nice);
}

bool read_oom_score(task_settings& s, const json_t* value) {
    s.oom_score_set = true;
    return read_whole(s, "oom_score_adjust", value, -1000, 1000, &s.oom_score_adjust);
}

bool read_no_new_privileges(task_settings& s, const json_t* value) {
    if (!json_is_boolean(value))
        return refuse(s, "\"no_new_privileges\" is %s: give true or false",
                      shown_value(value).data());
    s.no_new_privileges = json_is_true(value);
    return true;
}

bool read_capabilities(task_settings& s, const json_t* value) {
    if (!json_is_array(value))
        return refuse(s,
                      "\"capabilities\" is %s: give a list of names such as "
                      "\"net_bind_service\"",
                      shown_value(value).data());
    s.capabilities_set = true;
    for (std::size_t i = 0; i < json_array_size(value); ++i) {
        const json_t* name = json_array_get(value, i);
        const int number = json_is_string(name) ? capability_number(json_string_value(name)) : -1;
        if (number < 0)
            return refuse(s, "\"capabilities\" element %zu is %s, which names no capability", i,
                          shown_value(name).data());
        s.capabilities |= std::uint64_t{1} << static_cast<unsigned>(number);
    }
    return true;
}

// The keys read one by one, each by its reader; "user" and "group" apart.
struct settings_row {
    const char* key;
    bool (*read)(task_settings& s, const json_t* value);
};
constexpr std::array<settings_row, 7> settings_rows = {{
    {"directory", read_directory},
    {"environment", read_environment},
    {"limits", read_limits},
    {"nice", read_nice},
    {"oom_score_adjust", read_oom_score},
    {"no_new_privileges", read_no_new_privileges},
    {"capabilities", read_capabilities},
}};

}  // namespace

bool has_task_settings(const json_t* task) {
    const char* key = nullptr;
    const json_t* value = nullptr;
    json_object_foreach(const_cast<json_t*>(task), key, value) {
        const key_verdict verdict = judge_task_key(key);
        if (verdict.refused || (verdict.known && verdict.nearest >= first_settings_key))
            return true;
    }
    return false;
}

void read_task_settings(std::size_t slot, const json_t* task, std::string_view entry) {
    task_settings& s = task_settings_table[slot];
    s = task_settings{};
    task_settings_used[slot] = true;
    if (task_key_fault(task, entry, s.refusal.data(), s.refusal.size())) return;
    for (const settings_row& row : settings_rows) {
        const json_t* value = json_object_get(task, row.key);
        if (value && !row.read(s, value)) return;
    }
    read_identity(s, task);
}

}  // namespace vorn
