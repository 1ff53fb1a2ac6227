// The slots' exec reports (see start_report.hpp).
#include "supervise/start_report.hpp"

#include <cerrno>

#include "base/system_ops.hpp"

namespace vorn {

namespace {

std::array<int, task_slot_count> start_reports = [] {
    std::array<int, task_slot_count> none{};
    none.fill(-1);
    return none;
}();

void close_report(int& fd) {
    if (fd >= 0) sys.close_descriptor(fd);
    fd = -1;
}

}  // namespace

void keep_start_report(std::size_t slot, int fd) {
    close_report(start_reports[slot]);
    start_reports[slot] = fd;
}

start_news take_start_report(std::size_t slot, start_failure* failure) {
    int& fd = start_reports[slot];
    if (fd < 0) return start_news::none;
    start_failure told{};
    const long n = sys.read_some(fd, reinterpret_cast<char*>(&told), sizeof told);
    if (n < 0 && errno == EAGAIN) return start_news::none;  // not executed yet
    close_report(fd);
    // A report cut short or unreadable tells nothing sure: no news.
    if (n == 0) return start_news::executed;
    if (n != static_cast<long>(sizeof told)) return start_news::none;
    *failure = told;
    return start_news::failed;
}

void move_start_reports(const std::array<int, task_slot_count>& from) {
    std::array<int, task_slot_count> moved{};
    moved.fill(-1);
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        if (from[i] < 0) continue;
        int& old = start_reports[static_cast<std::size_t>(from[i])];
        moved[i] = old;
        old = -1;
    }
    for (int& fd : start_reports) close_report(fd);
    start_reports = moved;
}

void close_start_reports() {
    for (int& fd : start_reports) close_report(fd);
}

}  // namespace vorn
