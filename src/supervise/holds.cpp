// The operator's holds kept in a file (see holds.hpp).
#include "supervise/holds.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "base/log_trust.hpp"
#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/record.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

namespace {

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

// One line of the holds file into a free row; false for a line that is not one.
bool take_hold_line(std::string_view line, const moment& now) {
    unsigned long long by = 0;
    unsigned long long since = 0;
    std::string_view rest = line;
    if (!take_number(rest, by) || !take_number(rest, since) || by >= UINT32_MAX ||
        since > static_cast<unsigned long long>(now.wall))
        return false;
    const std::size_t used = line.size() - rest.size();
    const std::string_view name = tail_from(line, static_cast<std::size_t>(used));
    if (name.empty() || name.size() >= task_name_size || name.find('/') != name.npos) return false;
    for (operator_hold& h : current_record.holds) {
        if (h.name[0] != '\0') continue;
        copy_text(h.name, name);
        // Its boot-clock moment from the wall clock: the time it has been held.
        const auto wall = static_cast<std::time_t>(since);
        h = {h.name, static_cast<uid_t>(by), {wall, now.boot - (now.wall - wall)}};
        return true;
    }
    return false;
}

}  // namespace

void save_holds() {
    std::array<char, status_path_size + 16> path{};
    std::array<char, task_slot_count*(task_name_size + 32)> text{};
    std::size_t used = 0;
    for (const operator_hold& h : current_record.holds)
        if (h.name[0] != '\0' && format_text(text.data() + used, text.size() - used, "%u %lld %s\n",
                                             static_cast<unsigned>(h.by),
                                             static_cast<long long>(h.since.wall), h.name.data()))
            used += std::strlen(text.data() + used);
    if (!holds_path(path)) return;
    const int result = used == 0 ? sys.remove_file(path.data())
                                 : sys.replace_file(path.data(), text.data(), used, -1);
    if (result != 0 && !(used == 0 && errno == ENOENT))
        complain("cannot keep the stopped tasks in %s: %s", path.data(), error_text(errno));
}

void load_holds() {
    std::array<char, status_path_size + 16> path{};
    std::array<char, task_slot_count*(task_name_size + 32)> text{};
    struct stat info {};
    if (!holds_path(path)) return;
    const long n = sys.read_file_info(path.data(), text.data(), text.size() - 1, &info);
    if (n < 0) return;
    const log_owners owners{{sys.effective_user()}, 1};
    const log_fault fault = log_file_fault(info, owners);
    if (fault != log_fault::none) {
        complain("the stopped tasks in %s are not believed: %s", path.data(),
                 log_fault_text(fault));
        return;
    }
    const moment now = now_moment();
    std::string_view rest(text.data(), static_cast<std::size_t>(n));
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        take_hold_line(head(rest, end), now);
        rest = tail_from(rest, end == rest.npos ? rest.size() : end + 1);
    }
}

}  // namespace vorn
