// The keys of a task entry as the file writes them (see task_keys.hpp).
#include "tasks/task_keys.hpp"

#include <cstdarg>
#include <cstring>

#include "base/json_text.hpp"
#include "base/text.hpp"
#include "tasks/task_settings.hpp"

namespace vorn {

namespace {

char folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The longest known key, and a byte more for the row of the empty prefix.
constexpr std::size_t edit_row = 18;

std::size_t smallest(std::size_t a, std::size_t b) { return a < b ? a : b; }

// The reason, written into reason[size]; a reason too long still refuses.
bool say(char* reason, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool say(char* reason, std::size_t size, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    if (!vformat_text(reason, size, format, args))
        copy_text(reason, size, "a key of the task is at fault, and the reason is too long");
    va_end(args);
    return true;
}

std::string_view string_of(const json_t* value) {
    return {json_string_value(value), json_string_length(value)};
}

// A key from "user" on given more than once.
bool repeated_settings_key(const json_t* task, std::string_view entry, char* reason,
                           std::size_t size) {
    for (std::size_t k = first_settings_key; k < task_entry_keys.size(); ++k) {
        const char* key = task_entry_keys[k];
        if (!json_object_get(task, key)) continue;
        const std::size_t count = json_key_count(entry, 0, key);
        // The parser has it, so the text must: when it is not found there,
        // the entry cannot be told free of repeats, and is refused.
        if (count == 0) return say(reason, size, "\"%s\" could not be checked for repeats", key);
        if (count > 1)
            return say(reason, size, "\"%s\" is given %zu times: the entry must say it once", key,
                       count);
    }
    return false;
}

// A member of "limits" (a limit's name) or of "environment" (a variable's
// name) given more than once.  Only names the object holds are looked
// for; "limits" with another name, or "environment" with more names than
// fit, is refused for that anyway.
bool repeated_member(const json_t* task, std::string_view entry, const char* key, char* reason,
                     std::size_t size) {
    const json_t* object = json_object_get(task, key);
    if (!is_written_object(object) || json_object_size(object) > task_environment_max) return false;
    const std::size_t at = json_last_value(entry, 0, key);
    const char* name = nullptr;
    const json_t* value = nullptr;
    json_object_foreach(const_cast<json_t*>(object), name, value) {
        const std::size_t count = at == json_nowhere ? 0 : json_key_count(entry, at, name);
        if (count == 0)
            return say(reason, size, "\"%s\".\"%s\" could not be checked for repeats", key, name);
        if (count > 1)
            return say(reason, size, "\"%s\".\"%s\" is given %zu times: the entry must say it once",
                       key, name, count);
    }
    return false;
}

}  // namespace

std::size_t key_edits(std::string_view a, std::string_view b) {
    // Rows over b (a known key, at most edit_row - 1 bytes): the one before
    // the last, the last and the one being made.  A longer b is far enough.
    if (b.size() >= edit_row) return a.size() + b.size();
    std::array<std::size_t, edit_row> older{}, previous{}, current{};
    for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = folded(a[i - 1]) == folded(b[j - 1]);
            std::size_t best = smallest(previous[j] + 1, current[j - 1] + 1);
            best = smallest(best, previous[j - 1] + (same ? 0 : 1));
            if (i > 1 && j > 1 && folded(a[i - 1]) == folded(b[j - 2]) &&
                folded(a[i - 2]) == folded(b[j - 1]))
                best = smallest(best, older[j - 2] + 1);
            current[j] = best;
        }
        older = previous;
        previous = current;
    }
    return previous[b.size()];
}

key_verdict judge_task_key(std::string_view key) {
    constexpr std::size_t far = static_cast<std::size_t>(-1);
    key_verdict verdict{false, false, 0, far};
    key_verdict setting{false, true, 0, far};
    for (std::size_t k = 0; k < task_entry_keys.size(); ++k)
        if (key == task_entry_keys[k]) return {true, false, k, 0};
    for (std::size_t k = 0; k < task_entry_keys.size(); ++k) {
        const std::size_t edits = key_edits(key, task_entry_keys[k]);
        if (edits < verdict.edits) verdict = {false, false, k, edits};
        if (k >= first_settings_key && edits < setting.edits) setting = {false, true, k, edits};
    }
    return setting.edits <= 2 && setting.edits <= verdict.edits ? setting : verdict;
}

bool task_key_fault(const json_t* task, std::string_view entry, char* reason, std::size_t size) {
    if (repeated_settings_key(task, entry, reason, size)) return true;
    if (repeated_member(task, entry, "limits", reason, size)) return true;
    if (repeated_member(task, entry, "environment", reason, size)) return true;
    const char* key = nullptr;
    const json_t* value = nullptr;
    json_object_foreach(const_cast<json_t*>(task), key, value) {
        const key_verdict verdict = judge_task_key(key);
        if (verdict.refused)
            return say(reason, size, "\"%s\" is no key of a task entry: did you mean \"%s\"?", key,
                       task_entry_keys[verdict.nearest]);
    }
    return false;
}

const char* large_number_text(const json_t* value) {
    if (!json_is_object(value) || json_object_size(value) != 1) return nullptr;
    const json_t* number = json_object_get(value, "");
    if (!json_is_string(number)) return nullptr;
    const std::string_view text = string_of(number);
    if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return nullptr;
    for (const char c : text)
        if (std::strchr("0123456789-+.eE", c) == nullptr || c == '\0') return nullptr;
    return json_string_value(number);
}

bool large_number_is_integer(const char* text) { return std::strpbrk(text, ".eE") == nullptr; }

bool is_written_object(const json_t* value) {
    return json_is_object(value) && large_number_text(value) == nullptr;
}

}  // namespace vorn
