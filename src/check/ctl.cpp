// vorn_restart_ctl (see ctl.hpp).
#include "check/ctl.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/control.hpp"
#include "base/log_trust.hpp"
#include "base/messages.hpp"
#include "base/options.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "check/status_read.hpp"

namespace vorn {

namespace {

const char ctl_help[] =
    "Usage: vorn_restart_ctl [OPTION]... restart [--] NAME\n"
    "       vorn_restart_ctl [OPTION]... stop [--] NAME\n"
    "       vorn_restart_ctl [OPTION]... start [--] NAME\n"
    "       vorn_restart_ctl [OPTION]... signal [--] NAME HUP|INT|QUIT|USR1|USR2|TERM|KILL|CONT\n"
    "       vorn_restart_ctl [OPTION]... reload\n"
    "A NAME beginning with '-' goes after \"--\", which ends the options.\n"
    "Options (as the supervisor was given them):\n"
    "--status_path=<file>   status file (default /run/vorn_restart.status); the\n"
    "                       supervisor listens at <file>.ctl\n"
    "--install_path=<root>  installation root\n"
    "(the supervisor's other options are taken and ignored)\n"
    "--grace=SECONDS        restart, stop: SIGTERM, then SIGKILL this much later\n"
    "                       (default 5, at most 600)\n"
    "Exit status: 0 done, 1 not carried out to its end, 2 refused (nothing\n"
    "changed), 3 no supervisor to ask, or not allowed to.\n";

struct ctl_line {
    bool usage_error;
    bool help_asked;
    bool grace_given;
    std::uint32_t grace_ms;
};

ctl_line line{};

void ctl_usage_error(const char*) { line.usage_error = true; }

// Shown once the whole line is read: a mistake beside it is not help.
void ctl_help_asked(const char*) { line.help_asked = true; }

void ctl_status_path(const char* file) {
    if (apply_status_path(file) != path_result::ok) line.usage_error = true;
}

void ctl_install_path(const char* root) {
    const path_result result = apply_install_path(root);
    if (result != path_result::ok && result != path_result::missing) line.usage_error = true;
}

void ctl_grace(const char* seconds) {
    char* end = nullptr;
    const long value = std::strtol(seconds, &end, 10);
    if (end == seconds || *end != '\0' || value < 0 || value > max_grace_ms / 1000) {
        complain("--grace=%s: give seconds from 0 to %u", seconds, max_grace_ms / 1000);
        line.usage_error = true;
        return;
    }
    line.grace_ms = static_cast<std::uint32_t>(value) * 1000;
    line.grace_given = true;
}

const option_row ctl_options[] = {
    {"h", false, ctl_help_asked},
    {"?", false, ctl_help_asked},
    {"help", false, ctl_help_asked},
    {"status_path", true, ctl_status_path},
    {"install_path", true, ctl_install_path},
    {"grace", true, ctl_grace},
    // The supervisor's own: taken and ignored, so that its command line
    // (VORN_OPTIONS) can be handed over as it is.
    {"d", false, nullptr},
    {"cache_path", true, nullptr},
    {"log_path", true, nullptr},
    {"log_size", true, nullptr},
    {"metrics_path", true, nullptr},
    {"watchdog", true, nullptr},
};

// The operands as the request, the name whole whatever bytes it holds.
bool request_of(int argc, char* argv[], control_request& request) {
    std::array<std::string_view, control_words_max> words{};
    std::size_t count = 0;
    for (int i = optind; i < argc && count < words.size(); ++i) words[count++] = argv[i];
    if (count > 0 && words[0] != "restart" && words[0] != "stop" && line.grace_given) {
        complain("--grace goes with restart and stop");
        return false;
    }
    std::array<char, control_why_size> why{};
    if (!control_request_of(words.data(), count, request, why.data(), why.size())) {
        complain("%s", why.data());
        return false;
    }
    request.grace_ms = line.grace_ms;
    return true;
}

// Prints the answer, every byte that is not printable as '?'; its last
// line, "exit N", is the status to end with.
int print_answer(std::string_view answer) {
    const std::size_t at = answer.rfind("exit ");
    if (at == std::string_view::npos || (at != 0 && answer[at - 1] != '\n')) {
        complain("the supervisor's answer was cut short");
        return control_failed;
    }
    const int code = std::atoi(tail_from(answer, at + 5).data());
    for (std::string_view rest = head(answer, at); !rest.empty();) {
        const std::size_t n = utf8_length(rest);
        const bool shown =
            n > 1 || (n == 1 && (rest[0] == '\n' || (rest[0] >= 0x20 && rest[0] != 0x7f)));
        std::fwrite(shown ? rest.data() : "?", 1, shown ? n : 1, stdout);
        rest = tail_from(rest, n > 0 ? n : 1);
    }
    return code >= control_done && code <= control_no_channel ? code : control_failed;
}

// The channel named by the status file's path, when it may be trusted: a
// socket (never a link) of root's or the supervisor's user, in a directory
// no one else may write to.
bool channel_trusted(const char* path, uid_t supervisor_uid) {
    std::array<char, 112> dir{};
    copy_text(dir, path);
    char* slash = std::strrchr(dir.data(), '/');
    if (slash != nullptr) slash[slash == dir.data() ? 1 : 0] = '\0';
    const log_owners owners{{0, supervisor_uid, sys.effective_user()}, 3};
    struct stat info {};
    if (slash == nullptr || sys.lstat_path(dir.data(), &info) != 0 ||
        log_directory_fault(info, owners) != log_fault::none) {
        complain("cannot trust the directory of %s", path);
        return false;
    }
    if (sys.lstat_path(path, &info) != 0) {
        complain("no control channel at %s: %s", path, error_text(errno));
        return false;
    }
    if (!S_ISSOCK(info.st_mode) || (info.st_uid != 0 && info.st_uid != supervisor_uid)) {
        complain("%s is not the supervisor's control channel", path);
        return false;
    }
    return true;
}

int send_request(const control_request& request, const supervisor_facts& facts) {
    std::array<char, 112> path{};
    if (!control_channel_path(status_path.data(), path.data(), path.size())) {
        complain("the status file's path is too long for a control channel");
        return control_no_channel;
    }
    if (!channel_trusted(path.data(), facts.owner)) return control_no_channel;
    pid_t peer_pid = 0;
    uid_t peer_uid = 0;
    const unsigned wait = request.grace_ms / 1000 + 3 * pass_seconds;
    const int fd = sys.connect_channel(path.data(), wait, &peer_pid, &peer_uid);
    if (fd < 0) {
        complain("cannot reach the supervisor at %s: %s", path.data(), error_text(errno));
        return control_no_channel;
    }
    if (peer_pid != facts.pid) {
        complain("%s is held by pid %d, not by the supervisor (pid %d)", path.data(),
                 static_cast<int>(peer_pid), static_cast<int>(facts.pid));
        sys.close_descriptor(fd);
        return control_no_channel;
    }
    std::array<char, control_request_max + 1> text{};
    const std::size_t length = format_control_request(request, text.data(), text.size());
    std::array<char, 8192> answer{};
    std::size_t used = 0;
    // A supervisor that turns the client away (busy, not allowed) answers
    // and lets go before it reads the request: its answer is there all the same.
    const bool sent = length > 0 && (sys.send_all(fd, text.data(), length) == 0 || errno == EPIPE ||
                                     errno == ECONNRESET);
    for (long n; sent && used < answer.size() - 1 &&
                 (n = sys.read_some(fd, answer.data() + used, answer.size() - 1 - used)) > 0;)
        used += static_cast<std::size_t>(n);
    sys.close_descriptor(fd);
    return print_answer({answer.data(), used});
}

}  // namespace

int run_ctl(int argc, char* argv[]) {
    program_name = "vorn_restart_ctl";
    line = ctl_line{false, false, false, default_grace_ms};
    reset_settings();
    run_options(argc, argv, ctl_options, sizeof ctl_options / sizeof ctl_options[0],
                ctl_usage_error);
    if (line.help_asked && !line.usage_error) {
        std::fputs(ctl_help, stdout);
        return control_done;
    }
    if (optind >= argc) {  // no verb at all: the usage alone says what to give
        std::fputs(ctl_help, stderr);
        return control_refused;
    }
    control_request request{};
    if (line.usage_error || !request_of(argc, argv, request)) {
        std::fputs(ctl_help, stderr);
        return control_refused;
    }
    normalise_settings();
    choose_default_status_path();
    status_reading reading{};
    supervisor_facts facts{};
    static status_absence absence{};
    if (!read_live_status(&reading, &facts, &absence)) {
        complain("no supervisor to ask: %s", absence.why.data());
        return control_no_channel;
    }
    return send_request(request, facts);
}

}  // namespace vorn
