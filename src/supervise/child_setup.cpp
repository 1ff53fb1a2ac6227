// A child's steps between fork and exec (see child_setup.hpp).  The order
// is the one that keeps each step possible and the result closed: the
// limits, the nice value and the OOM score while still privileged (raising
// a hard limit needs root); the bounding set and the groups before the
// user (once the uid is dropped they can no longer change); the identity
// checked, not believed; the capabilities kept after it; the directory as
// the task's user; no new privileges last.
#include "supervise/child_setup.hpp"

#include <array>
#include <cerrno>
#include <sys/resource.h>

#include "base/messages.hpp"
#include "base/system_ops.hpp"

namespace vorn {

namespace {

// The resource of each task_limit, in its order.
constexpr std::array<int, task_limit_count> limit_resources = {
    RLIMIT_NOFILE, RLIMIT_NPROC, RLIMIT_AS, RLIMIT_CORE, RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_STACK};

// Past the last capability any kernel knows: the bounding set is dropped
// up to the first number the running kernel refuses (EINVAL).
constexpr int capability_numbers = 64;

// A step: 0 when done or not asked for, else -1 with errno set (0 when the
// step has no errno) and *detail telling which limit or capability.
using step_handler = int (*)(const child_plan& plan, std::uint8_t* detail);

struct step_row {
    start_step step;
    step_handler take;
};

bool kept(const task_settings& s, int number) {
    return number < 64 && ((s.capabilities >> number) & 1U) != 0;
}

// First of all, so that whatever the later steps start is in the task's
// unit: a child that cannot join its cgroup never runs its program.
int join_cgroup(const child_plan& plan, std::uint8_t* detail) {
    if (plan.cgroup_refused.step == start_step::cgroup) {
        *detail = plan.cgroup_refused.detail;
        errno = plan.cgroup_refused.error;
        return -1;
    }
    *detail = static_cast<std::uint8_t>(cgroup_problem::join);
    return plan.cgroup_join_fd >= 0 ? sys.write_descriptor(plan.cgroup_join_fd, "0", 1) : 0;
}

int check_environment(const child_plan& plan, std::uint8_t*) {
    if (plan.environment_fits) return 0;
    errno = E2BIG;
    return -1;
}

int set_oom_score(const child_plan& plan, std::uint8_t*) {
    return plan.oom_score_set ? sys.set_oom_score(plan.oom_score) : 0;
}

int set_limits(const child_plan& plan, std::uint8_t* detail) {
    const task_settings& s = *plan.settings;
    for (std::size_t i = 0; i < task_limit_count; ++i) {
        if ((s.limits_set >> i & 1U) == 0) continue;
        *detail = static_cast<std::uint8_t>(i);
        if (sys.set_limit(limit_resources[i], s.limits[i]) != 0) return -1;
    }
    return 0;
}

int set_nice(const child_plan& plan, std::uint8_t*) {
    return plan.settings->nice_set ? sys.set_nice(plan.settings->nice) : 0;
}

int drop_bounding_set(const child_plan& plan, std::uint8_t* detail) {
    const task_settings& s = *plan.settings;
    if (!s.capabilities_set) return 0;
    for (int number = 0; number < capability_numbers; ++number) {
        if (kept(s, number)) continue;
        *detail = static_cast<std::uint8_t>(number);
        if (sys.drop_bounding_capability(number) == 0) continue;
        // Past the kernel's last capability: nothing more to drop.
        return errno == EINVAL && number > 0 ? 0 : -1;
    }
    return 0;
}

int keep_capabilities(const child_plan& plan, std::uint8_t*) {
    const task_settings& s = *plan.settings;
    return s.identity && s.capabilities_set && s.uid != 0 ? sys.keep_capabilities() : 0;
}

int set_groups(const child_plan& plan, std::uint8_t*) {
    const task_settings& s = *plan.settings;
    return s.identity ? sys.set_groups(s.groups.data(), s.group_count) : 0;
}

int set_gid(const child_plan& plan, std::uint8_t*) {
    return plan.settings->identity ? sys.set_group_id(plan.settings->gid) : 0;
}

int set_uid(const child_plan& plan, std::uint8_t*) {
    return plan.settings->identity ? sys.set_user_id(plan.settings->uid) : 0;
}

// Every id, real, effective and saved, must be the one asked: a change
// that "worked" and left the child root (or anything else) stops it.
int check_identity(const child_plan& plan, std::uint8_t*) {
    const task_settings& s = *plan.settings;
    if (!s.identity) return 0;
    std::array<uid_t, 3> uids{};
    std::array<gid_t, 3> gids{};
    sys.identity_now(uids.data(), gids.data());
    for (std::size_t i = 0; i < 3; ++i) {
        if (uids[i] == s.uid && gids[i] == s.gid) continue;
        errno = 0;
        return -1;
    }
    return 0;
}

int set_capabilities(const child_plan& plan, std::uint8_t*) {
    const task_settings& s = *plan.settings;
    return s.capabilities_set ? sys.set_capabilities(s.capabilities) : 0;
}

int raise_ambient(const child_plan& plan, std::uint8_t* detail) {
    const task_settings& s = *plan.settings;
    if (!s.capabilities_set) return 0;
    for (int number = 0; number < capability_numbers; ++number) {
        if (!kept(s, number)) continue;
        *detail = static_cast<std::uint8_t>(number);
        if (sys.raise_ambient_capability(number) != 0) return -1;
    }
    return 0;
}

int change_directory(const child_plan& plan, std::uint8_t*) {
    const char* dir = plan.settings->directory.data();
    return dir[0] != '\0' ? sys.change_directory(dir) : 0;
}

int forbid_new_privileges(const child_plan& plan, std::uint8_t*) {
    return plan.settings->no_new_privileges ? sys.forbid_new_privileges() : 0;
}

// The steps that need no settings come first.
constexpr std::size_t steps_without_settings = 3;
constexpr std::array<step_row, 15> child_steps = {{
    {start_step::cgroup, join_cgroup},
    {start_step::environment, check_environment},
    {start_step::oom_score, set_oom_score},
    {start_step::limit, set_limits},
    {start_step::nice, set_nice},
    {start_step::bounding_set, drop_bounding_set},
    {start_step::keep_capabilities, keep_capabilities},
    {start_step::groups, set_groups},
    {start_step::gid, set_gid},
    {start_step::uid, set_uid},
    {start_step::identity, check_identity},
    {start_step::capabilities, set_capabilities},
    {start_step::ambient, raise_ambient},
    {start_step::directory, change_directory},
    {start_step::no_new_privileges, forbid_new_privileges},
}};

// Bounded appends by hand: nothing here may allocate or lock.
void append(char* buf, std::size_t size, std::size_t* used, const char* text) {
    while (*text && *used + 1 < size) buf[(*used)++] = *text++;
    buf[*used] = '\0';
}

void append_number(char* buf, std::size_t size, std::size_t* used, long long value) {
    std::array<char, 24> digits{};
    std::size_t at = digits.size() - 1;  // the last stays NUL
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        digits[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && at > 1);
    if (value < 0) digits[--at] = '-';
    append(buf, size, used, digits.data() + at);
}

const char* capability_or_number(std::uint8_t number) {
    const char* name = capability_name(number);
    return name != nullptr ? name : "(unknown)";
}

// The steps said in words alone.
struct step_words {
    start_step step;
    const char* words;
};
constexpr std::array<step_words, 5> plain_steps = {{
    {start_step::environment, "add its variables to the environment"},
    {start_step::keep_capabilities, "keep its capabilities across the change of user"},
    {start_step::capabilities, "keep only the capabilities asked for"},
    {start_step::no_new_privileges, "set no_new_privileges"},
    {start_step::exec, "execute its program"},
}};

void describe_cgroup(const start_failure& f, char* buf, std::size_t size, std::size_t* used) {
    switch (static_cast<cgroup_problem>(f.detail)) {
        case cgroup_problem::held:
            append(buf, size, used,
                   "make its cgroup afresh: it holds processes vorn_restart did not put there");
            break;
        case cgroup_problem::make: append(buf, size, used, "make its cgroup afresh"); break;
        case cgroup_problem::join:
        default: append(buf, size, used, "join its cgroup"); break;
    }
}

void describe_limit(const start_failure& f, const task_settings* s, char* buf, std::size_t size,
                    std::size_t* used) {
    append(buf, size, used, "set the limit ");
    append(buf, size, used, f.detail < task_limit_count ? task_limit_names[f.detail] : "?");
    if (s == nullptr || f.detail >= task_limit_count) return;
    append(buf, size, used, " to ");
    if (s->limits[f.detail] == limit_unlimited)
        append(buf, size, used, "unlimited");
    else
        append_number(buf, size, used, static_cast<long long>(s->limits[f.detail]));
}

// What the step was about to do, after "cannot ".
void describe_step(const start_failure& f, const task_settings* s, char* buf, std::size_t size,
                   std::size_t* used) {
    for (const step_words& plain : plain_steps)
        if (plain.step == f.step) return append(buf, size, used, plain.words);
    const long long uid = s != nullptr ? static_cast<long long>(s->uid) : -1;
    const long long gid = s != nullptr ? static_cast<long long>(s->gid) : -1;
    switch (f.step) {
        case start_step::cgroup: describe_cgroup(f, buf, size, used); break;
        case start_step::oom_score:
            append(buf, size, used, "set oom_score_adj to ");
            append_number(buf, size, used,
                          s != nullptr && s->oom_score_set ? s->oom_score_adjust : 0);
            break;
        case start_step::limit: describe_limit(f, s, buf, size, used); break;
        case start_step::nice:
            append(buf, size, used, "set nice to ");
            append_number(buf, size, used, s != nullptr ? s->nice : 0);
            break;
        case start_step::bounding_set:
            append(buf, size, used, "drop ");
            append(buf, size, used, capability_or_number(f.detail));
            append(buf, size, used, " from the bounding set");
            break;
        case start_step::groups:
            append(buf, size, used, "take the supplementary groups of ");
            append(buf, size, used, s != nullptr ? s->user_name.data() : "?");
            break;
        case start_step::gid:
        case start_step::uid:
            append(buf, size, used, f.step == start_step::gid ? "take gid " : "take uid ");
            append_number(buf, size, used, f.step == start_step::gid ? gid : uid);
            break;
        case start_step::identity:
            append(buf, size, used, "hold uid ");
            append_number(buf, size, used, uid);
            append(buf, size, used, " and gid ");
            append_number(buf, size, used, gid);
            append(buf, size, used, " after taking them");
            break;
        case start_step::ambient:
            append(buf, size, used, "raise the ambient capability ");
            append(buf, size, used, capability_or_number(f.detail));
            break;
        case start_step::directory:
            append(buf, size, used, "change to directory ");
            append(buf, size, used, s != nullptr ? s->directory.data() : "?");
            break;
        default: append(buf, size, used, "execute its program"); break;
    }
}

}  // namespace

child_plan plan_child(const task_settings* settings, bool reset_oom_score) {
    child_plan plan{-1, {}, settings, reset_oom_score, 0, true};
    if (settings != nullptr && settings->oom_score_set) {
        plan.oom_score_set = true;
        plan.oom_score = settings->oom_score_adjust;
    }
    return plan;
}

bool take_child_steps(const child_plan& plan, start_failure* failure) {
    const std::size_t count =
        plan.settings != nullptr ? child_steps.size() : steps_without_settings;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t detail = 0;
        if (child_steps[i].take(plan, &detail) == 0) continue;
        *failure = start_failure{errno, child_steps[i].step, detail, {}};
        return false;
    }
    return true;
}

void describe_start_failure(const start_failure& failure, const task_settings* settings,
                            const char* lead, char* buf, std::size_t size) {
    std::size_t used = 0;
    if (size == 0) return;
    buf[0] = '\0';
    append(buf, size, &used, lead);
    describe_step(failure, settings, buf, size, &used);
    if (failure.error == 0) return;
    append(buf, size, &used, ": ");
    append(buf, size, &used, error_text(failure.error));
}

}  // namespace vorn
