// The control channel and its clients (see control.hpp); what their
// requests do is in control_verbs.cpp.
#include "supervise/control.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "base/log_trust.hpp"
#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/children.hpp"
#include "supervise/control_verbs.hpp"
#include "supervise/holds.hpp"
#include "supervise/pace.hpp"

namespace vorn {

namespace {

// A whole line from the client: its request, refused or carried out.
void take_line(control_client& c, std::size_t length) {
    std::array<char, control_why_size> why{};
    if (!parse_control_request({c.text.data(), length}, c.request, why.data(), why.size())) {
        answer(c, control_refused, "%s", why.data());
        return;
    }
    carry_out(c);
}

// Reads what the client sent so far; a request is one line.
void read_client(control_client& c) {
    const std::size_t room = c.text.size() - c.used;
    const long n = sys.read_some(c.fd, c.text.data() + c.used, room);
    if (n == 0 || (n < 0 && errno != EAGAIN)) {
        free_client(c);  // gone before its request was whole
        return;
    }
    if (n < 0) return;
    c.used += static_cast<std::size_t>(n);
    const char* newline = static_cast<const char*>(std::memchr(c.text.data(), '\n', c.used));
    if (newline != nullptr) {
        take_line(c, static_cast<std::size_t>(newline - c.text.data()));
        return;
    }
    if (c.used == c.text.size())
        answer(c, control_refused, "the request is longer than %zu bytes", c.text.size() - 1);
}

// Only root and the supervisor's own user may command it.
bool allowed(control_client& c) {
    const uid_t own = sys.effective_user();
    if (c.uid == 0 || c.uid == own) return true;
    answer(c, control_no_channel, "uid %u may not command this supervisor (only root and uid %u)",
           static_cast<unsigned>(c.uid), static_cast<unsigned>(own));
    return false;
}

// A place for a newcomer: a free one, else that of the client that has
// held one longest, at least control_place_ms, without sending its whole
// request, which is told so and let go; nullptr when there is neither.
control_client* free_place(long long now) {
    control_client* oldest = nullptr;
    for (control_client& c : control.clients) {
        if (c.stage == client_stage::free) return &c;
        const long long since = c.deadline_ms - control_request_ms;
        if (c.stage == client_stage::reading && now - since >= control_place_ms &&
            (oldest == nullptr || c.deadline_ms < oldest->deadline_ms))
            oldest = &c;
    }
    if (oldest != nullptr)
        answer(*oldest, control_refused,
               "no whole request within %lld s while another client waited: its place is "
               "given to that one",
               control_place_ms / 1000);
    return oldest;
}

// Each client that waits: one not allowed is answered before it takes a
// place, one without a place is told to try again.
void accept_clients() {
    for (;;) {
        control_client newcomer{};
        newcomer.fd = sys.accept_client(control.listen_fd, &newcomer.pid, &newcomer.uid);
        if (newcomer.fd < 0) return;
        if (!allowed(newcomer)) continue;
        const long long now = sys.boot_milliseconds();
        control_client* place = free_place(now);
        if (place == nullptr) {
            answer(newcomer, control_failed,
                   "the supervisor serves %zu commands at once: try again", control_client_count);
            continue;
        }
        control_client& c = *place;
        c = newcomer;
        c.stage = client_stage::reading;
        ++control.busy;
        c.used = 0;
        c.deadline_ms = now + control_request_ms;
        read_client(c);  // a client sends its request as it connects
    }
}

}  // namespace

// Field by field: the reload's room (pages of zeros until a reload) is not touched.
void reset_control() {
    control.listen_fd = -1;
    control.path[0] = '\0';
    for (control_client& c : control.clients) c = control_client{};
    control.readers = 0;
    control.busy = 0;
    control.start_wanted = false;
    control.turn_now = false;
}

namespace {

// The channel's directory, by the rule for a log directory: no link, and
// no one but this user (or root for root) may write to it.
bool trusted_directory(const char* path) {
    std::array<char, 112> dir{};
    copy_text(dir, path);
    char* slash = std::strrchr(dir.data(), '/');
    if (slash == nullptr) return false;
    slash[slash == dir.data() ? 1 : 0] = '\0';
    struct stat info {};
    if (sys.lstat_path(dir.data(), &info) != 0) return false;
    const log_owners owners{{sys.effective_user()}, 1};
    const log_fault fault = log_directory_fault(info, owners);
    if (fault == log_fault::none) return true;
    complain("no control channel: %s is not safe: %s", dir.data(), log_fault_text(fault));
    return false;
}

}  // namespace

void open_control_channel() {
    if (status_path[0] == '\0') return;
    load_holds();
    if (!control_channel_path(status_path.data(), control.path.data(), control.path.size())) {
        complain("no control channel: the status file's path is too long for a socket");
        return;
    }
    if (!trusted_directory(control.path.data())) return;
    struct stat info {};
    if (sys.lstat_path(control.path.data(), &info) == 0) {
        // Left by an earlier run of this user's; anything else stays.
        if (!S_ISSOCK(info.st_mode) || info.st_uid != sys.effective_user() ||
            sys.remove_file(control.path.data()) != 0) {
            complain("no control channel: something else is at %s", control.path.data());
            return;
        }
    }
    control.listen_fd = sys.listen_at(control.path.data());
    if (control.listen_fd < 0)
        complain("no control channel at %s: %s", control.path.data(), error_text(errno));
}

namespace {

// Lets go, with a refusal, of each client whose time for its request is over.
void drop_late_clients(long long now) {
    for (control_client& c : control.clients)
        if (c.stage == client_stage::reading && now >= c.deadline_ms)
            answer(c, control_refused, "no whole request within %u s", pass_seconds);
}

void count_readers() {
    control.readers = 0;
    for (const control_client& c : control.clients)
        control.readers += c.stage == client_stage::reading ? 1 : 0;
}

// What the wait told of fd among fds: its revents, 0 when not there.
short ready_events(const struct pollfd* fds, std::size_t count, int fd) {
    for (std::size_t i = 0; i < count; ++i)
        if (fds[i].fd == fd) return fds[i].revents;
    return 0;
}

}  // namespace

std::size_t control_wait_sources(struct pollfd* fds, std::size_t cap) {
    if (control.listen_fd < 0 || cap == 0) return 0;
    std::size_t n = 0;
    fds[n++] = {control.listen_fd, POLLIN, 0};
    if (control.busy == 0) return n;
    for (const control_client& c : control.clients) {
        if (c.stage == client_stage::reading && n < cap) fds[n++] = {c.fd, POLLIN, 0};
        if (c.stage == client_stage::starting && n < cap) fds[n++] = {c.report_fd, POLLIN, 0};
    }
    return n;
}

long long control_deadline() {
    if (control.busy == 0) return -1;
    long long nearest = -1;
    const auto nearer = [&nearest](long long at) {
        if (nearest < 0 || at < nearest) nearest = at;
    };
    for (const control_client& c : control.clients) {
        if (c.stage == client_stage::reading) nearer(c.deadline_ms);
        if (c.stage == client_stage::starting) nearer(c.due_ms);
        if (c.stage != client_stage::ending && c.stage != client_stage::reloading) continue;
        nearer(c.due_ms);
        if (!children_held()) nearer(c.look_ms);
    }
    return nearest;
}

void serve_control(const struct pollfd* fds, std::size_t count, long long now_ms) {
    // fds[0] is the channel's own descriptor.
    if (control.listen_fd < 0 || (control.busy == 0 && fds[0].revents == 0)) return;
    for (control_client& c : control.clients) {
        if (c.stage == client_stage::starting && ready_events(fds, count, c.report_fd) != 0)
            take_exec_report(c);
        if (c.stage == client_stage::reading && ready_events(fds, count, c.fd) != 0) read_client(c);
    }
    if (ready_events(fds, count, control.listen_fd) != 0) accept_clients();
    drop_late_clients(now_ms);
    count_readers();
}

bool control_waiting() {
    if (control.busy == 0) return false;
    for (const control_client& c : control.clients)
        if (c.stage == client_stage::ending || c.stage == client_stage::reloading) return true;
    return false;
}

void follow_control_requests(long long now_ms) {
    if (control.busy == 0) return;
    for (control_client& c : control.clients) {
        if (c.stage == client_stage::ending) follow_one(c, now_ms);
        if (c.stage == client_stage::reloading) follow_reload(c, now_ms);
        if (c.stage == client_stage::starting && now_ms >= c.due_ms)
            not_seen_to_execute(c, "no word from it within 10 s");
    }
}

void end_commands_for_new_turn() {
    if (control.busy == 0) return;
    for (control_client& c : control.clients) end_for_new_turn(c);
}

}  // namespace vorn
