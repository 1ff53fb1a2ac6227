// The operator's holds kept in a file (see holds.hpp).
#include "supervise/holds.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "base/control.hpp"
#include "base/log_trust.hpp"
#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/record.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

// The longest line: "<uid> <since> <name>\n", the name written as a
// control request writes it; and the longest file, a line per slot.
constexpr std::size_t hold_line_max = 10 + 1 + 19 + 1 + control_name_written_max + 1;
constexpr std::size_t holds_file_max = task_slot_count * hold_line_max;

// "<status_path>.stopped" into path; false when it does not fit.
template <std::size_t N>
bool holds_path(std::array<char, N>& path) {
    return format_text(path.data(), N, "%s.stopped", status_path.data());
}

// A decimal number and the space after it, from the front of text: false
// when there is none (no sign, at most 19 digits).
bool take_number(std::string_view& text, unsigned long long& value) {
    std::size_t n = 0;
    value = 0;
    while (n < text.size() && n < 19 && text[n] >= '0' && text[n] <= '9')
        value = value * 10 + static_cast<unsigned>(text[n++] - '0');
    if (n == 0 || n >= text.size() || text[n] != ' ') return false;
    text = tail_from(text, n + 1);
    return true;
}

// One line of the holds file into hold; false for a line that is not one.
bool take_hold_line(std::string_view line, const moment& now, operator_hold& hold) {
    unsigned long long by = 0;
    unsigned long long since = 0;
    std::string_view rest = line;
    if (!take_number(rest, by) || !take_number(rest, since) || by >= UINT32_MAX ||
        since > static_cast<unsigned long long>(now.wall))
        return false;
    if (!read_control_name(rest, hold.name.data(), hold.name.size()) || hold.name[0] == '\0' ||
        std::strchr(hold.name.data(), '/') != nullptr)
        return false;
    // Its boot-clock moment from the wall clock: the time it has been held.
    const auto wall = static_cast<std::time_t>(since);
    hold.by = static_cast<uid_t>(by);
    hold.since = {wall, now.boot - (now.wall - wall)};
    return true;
}

// The lines of text into holds: 0 when each is a hold and there are no
// more than the table holds, else the number of the first line that is not.
std::size_t take_hold_lines(std::string_view text,
                            std::array<operator_hold, task_slot_count>& holds) {
    const moment now = now_moment();
    std::size_t count = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (count == holds.size() || !take_hold_line(head(text, end), now, holds[count]))
            return count + 1;
        ++count;
        text = tail_from(text, end == text.npos ? text.size() : end + 1);
    }
    return 0;
}

}  // namespace

void save_holds() {
    std::array<char, status_path_size + 16> path{};
    std::array<char, holds_file_max> text{};
    std::size_t used = 0;
    for (const operator_hold& h : current_record.holds) {
        std::array<char, control_name_written_max + 1> name{};
        if (h.name[0] != '\0' && write_control_name(text_view(h.name), name.data(), name.size()) &&
            format_text(text.data() + used, text.size() - used, "%u %lld %s\n",
                        static_cast<unsigned>(h.by), static_cast<long long>(h.since.wall),
                        name.data()))
            used += std::strlen(text.data() + used);
    }
    if (!holds_path(path)) return;
    const int result = used == 0 ? sys.remove_file(path.data())
                                 : sys.replace_file(path.data(), text.data(), used, -1);
    if (result != 0 && !(used == 0 && errno == ENOENT))
        complain("cannot keep the stopped tasks in %s: %s", path.data(), error_text(errno));
}

// The file is believed whole or not at all: a line that is not a hold,
// more holds than the table takes, a file longer than they can be, a link
// or a file that someone else may have written leave no task held.
void load_holds() {
    std::array<char, status_path_size + 16> path{};
    std::array<char, holds_file_max + 1> text{};
    struct stat info {};
    if (!holds_path(path)) return;
    const long n = sys.read_file_info(path.data(), text.data(), text.size(), &info);
    const int error = errno;
    if (n < 0 && error == ENOENT) return;
    const log_owners owners{{sys.effective_user()}, 1};
    const log_fault fault = n < 0 ? log_fault::none : log_file_fault(info, owners);
    std::array<operator_hold, task_slot_count> holds{};
    std::array<char, 96> why{};
    if (n < 0)
        copy_text(why,
                  error == ELOOP ? log_fault_text(log_fault::symbolic_link) : error_text(error));
    else if (fault != log_fault::none)
        copy_text(why, log_fault_text(fault));
    else if (static_cast<std::size_t>(n) > holds_file_max)
        format_text(why.data(), why.size(), "it is longer than %zu bytes", holds_file_max);
    else if (const std::size_t line =
                 take_hold_lines({text.data(), static_cast<std::size_t>(n)}, holds);
             line > task_slot_count)
        format_text(why.data(), why.size(), "it holds more than %zu tasks", task_slot_count);
    else if (line != 0)
        format_text(why.data(), why.size(), "line %zu is not \"<uid> <since> <name>\"", line);
    if (why[0] == '\0') {
        current_record.holds = holds;
        return;
    }
    complain("the stopped tasks in %s are not believed: %s", path.data(), why.data());
}

}  // namespace vorn
