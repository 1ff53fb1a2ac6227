// One slot of the status file judged against /proc: the confirmed state of
// its child, why it does not run as it should (the cause its record and the
// system tell), and its unit as seen now.
#pragma once

#include <array>

#include "check/status_view.hpp"

namespace vorn {

// Judges the slot into view; the supervisor's facts are judged.facts.
void judge_slot(judged_slot& view, const read_slot& slot);

// A number of the file as it is shown: "-" when absent, "invalid" when
// out of range.
std::array<char, 32> number_shown(const number& n);

}  // namespace vorn
