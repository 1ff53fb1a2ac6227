// What a child does between fork and exec to give its task the settings
// of its entry (tasks/task_settings.hpp), and how it tells a step that
// failed.  A child whose step fails never executes its program: it says
// why on its standard error, writes a start_failure on its exec report
// and ends with status 255, as after a failed exec.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

// In the order the child takes them.
enum class start_step : std::uint8_t {
    none,
    cgroup,       // detail: a cgroup_problem
    environment,  // the task's variables did not fit beside the inherited ones
    oom_score,
    limit,  // detail: the task_limit
    nice,
    bounding_set,  // detail: the capability
    keep_capabilities,
    groups,
    gid,
    uid,
    identity,  // the ids did not all become the ones asked
    capabilities,
    ambient,  // detail: the capability
    directory,
    no_new_privileges,
    exec,
};

// What a child writes on its exec report, in one write well under
// PIPE_BUF: the reader has all of it or nothing.
struct start_failure {
    std::int32_t error;  // errno, 0 when the step sets none
    start_step step;
    std::uint8_t detail;
    std::uint8_t unused[2];
};
static_assert(sizeof(start_failure) == 8);

// What went wrong with a task's cgroup (the detail of start_step::cgroup).
enum class cgroup_problem : std::uint8_t {
    join,  // the child could not write itself into its cgroup.procs
    held,  // the cgroup was there already, holding processes the supervisor did not put there
    make,  // the cgroup could not be made afresh
};

// What the child is to do besides executing its program.
struct child_plan {
    // The task's cgroup: a descriptor of its cgroup.procs, which the child
    // joins first of all (-1: it was started in its cgroup, or has none);
    // or, when cgroup_refused.step is start_step::cgroup, why it must not
    // run at all.
    int cgroup_join_fd;
    start_failure cgroup_refused;
    const task_settings* settings;  // nullptr: no settings
    // The OOM score the child sets, when oom_score_set: the task's own, or
    // 0 when the supervisor protects itself and the task sets none.
    bool oom_score_set;
    int oom_score;
    bool environment_fits;  // false: the child fails at the environment step
};

// The plan for a task: its settings, and whether children must give up
// the supervisor's own OOM protection.
child_plan plan_child(const task_settings* settings, bool reset_oom_score);

// In the child: every step of the plan in order.  True when all were
// taken, else false with the step that failed in *failure.
bool take_child_steps(const child_plan& plan, start_failure* failure);

inline constexpr std::size_t start_failure_text_size = 224;

// The failure in words, after `lead` ("cannot " or "could not "): "cannot
// take uid 65534: Operation not permitted".  Async-signal-safe, for the
// child's own line too.
void describe_start_failure(const start_failure& failure, const task_settings* settings,
                            const char* lead, char* buf, std::size_t size);

}  // namespace vorn
