// --status and --log (see status.hpp): read, judge, print.
#include "check/status.hpp"

#include <cstdio>

#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/kill_listing.hpp"
#include "check/report.hpp"
#include "check/shell_quote.hpp"
#include "check/status_judge.hpp"
#include "check/status_print.hpp"
#include "check/task_log.hpp"
#include "tasks/config.hpp"

namespace vorn {

namespace {

const char* absence_verdict() {
    return judged.absence.status == status_exit_absent ? "no live vorn_restart"
                                                       : "the status of vorn_restart is not known";
}

// What the next turn kills by name, by the checker's own configuration
// file: one that has become unusable since the supervisor last read it is
// told too, since the next turn then starts nothing.
void print_next_kills(const char* own_file, bool own_usable, const config_problem& problem) {
    if (!own_usable && (!judged.live || judged.reading.usable == truth::yes))
        print_config_problem(own_file, problem);
    print_kill_listing(judged.live ? judged.facts.pid : pid_t{0});
}

}  // namespace

int report_status(const char* config_file, bool json) {
    read_judged_status();
    // The checker's own configuration, never the one the file names.
    const char* own_file = config_file ? config_file : config_file_path();
    config_problem problem;
    const bool own_usable = configure_inert(config_file, &problem);
    judge_status();
    if (json) {
        if (!judged.live) complain("%s: %s", absence_verdict(), judged.absence.why.data());
        return print_status_json() ? judged.exit_status : status_exit_unknown;
    }
    if (!judged.live)
        std::printf("%s: %s\n", absence_verdict(), judged.absence.why.data());
    else
        print_status_text(own_file);
    print_next_kills(own_file, own_usable, problem);
    return judged.exit_status;
}

int report_log(const char* name, unsigned lines) {
    if (check_line.log_path_given) {
        if (is_empty(log_path)) {
            complain("--log_path is empty: vorn_restart keeps no task logs");
            return status_exit_degraded;
        }
        return print_task_log({log_path.data(), 0}, name, lines);
    }
    status_reading& reading = judged.reading;
    judged.live = read_live_status(&reading, &judged.facts, &judged.absence);
    if (!judged.live) {
        complain("%s: %s (give the supervisor's --log_path to read its logs)", absence_verdict(),
                 judged.absence.why.data());
        return judged.absence.status;
    }
    log_place place{};
    switch (log_place_of(reading, judged.facts.owner, &place)) {
        case logs_kept::yes: return print_task_log(place, name, lines);
        case logs_kept::unusable:
            complain(
                "the log directory in %s is not an absolute path ending in '/': give "
                "--log_path",
                shown(status_path.data()));
            return status_exit_unknown;
        case logs_kept::no: break;
    }
    if (reading.log_problem.given)
        complain("vorn_restart keeps no task logs: %s", shown(reading.log_problem.text));
    else
        complain("vorn_restart keeps no task logs: it was started without --log_path");
    return status_exit_degraded;
}

}  // namespace vorn
