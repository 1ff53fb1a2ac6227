#include "check/status.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include <jansson.h>

#include "base/messages.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "check/command_line.hpp"
#include "check/kill_listing.hpp"
#include "check/report.hpp"
#include "check/shell_quote.hpp"
#include "tasks/config.hpp"

namespace vorn {

namespace {

// One byte more than is read from a usable file: a file that fills it is
// larger than the limit.
std::array<char, status_read_limit + 1> status_text{};
std::size_t status_length = 0;
// Why there is no live supervisor, when there is none.
std::array<char, 2048> absence{};

using short_text = std::array<char, 32>;

const char background_text[] =
    "ended with status 0 within one pass of starting, %lld times in a row: a program that puts "
    "itself in the background does that, and vorn_restart needs its tasks in the foreground\n";

void note_absence(const char* format, ...) __attribute__((format(printf, 1, 2)));

void note_absence(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    if (!vformat_text(absence.data(), absence.size(), format, args))
        copy_text(absence, "the status file cannot be used");
    va_end(args);
}

std::string_view text_of(const json_t* object, const char* key) {
    const json_t* value = json_object_get(object, key);
    if (!json_is_string(value)) return {};
    return {json_string_value(value), json_string_length(value)};
}

// The integer under key, or `otherwise` when there is none.
long long integer_of(const json_t* object, const char* key, long long otherwise) {
    const json_t* value = json_object_get(object, key);
    return json_is_integer(value) ? static_cast<long long>(json_integer_value(value)) : otherwise;
}

// A path from the document, to be looked at: false when it is not a
// string, is empty, holds a NUL byte or does not fit.
template <std::size_t N>
bool path_of(const json_t* object, const char* key, std::array<char, N>& path) {
    const std::string_view text = text_of(object, key);
    return !text.empty() && text.find('\0') == std::string_view::npos && copy_text(path, text);
}

// What the checker relies on; any other value of the wrong type shows as
// not known where it is printed.
bool is_status_document(const json_t* document) {
    const long long pid = integer_of(document, "pid", 0);
    const json_t* configuration = json_object_get(document, "configuration");
    const json_t* slots = json_object_get(document, "slots");
    if (!json_is_object(document) || integer_of(document, "format", 0) != 1 || pid <= 0 ||
        pid > INT32_MAX || !json_is_object(configuration) ||
        !json_is_boolean(json_object_get(configuration, "usable")) || !json_is_array(slots))
        return false;
    for (std::size_t i = 0; i < json_array_size(slots); ++i)
        if (!json_is_object(json_array_get(slots, i))) return false;
    return true;
}

json_document load_status() {
    const char* path = status_path.data();
    if (path[0] == '\0') {
        note_absence("--status_path is empty: vorn_restart publishes no status");
        return nullptr;
    }
    const long n = sys.read_file(path, status_text.data(), status_text.size());
    if (n < 0) {
        const int error = errno;
        note_absence("cannot read %s: %s", shown(path), std::strerror(error));
        return nullptr;
    }
    if (n == 0) {
        note_absence("%s is empty", shown(path));
        return nullptr;
    }
    if (static_cast<std::size_t>(n) > status_read_limit) {
        note_absence("%s is larger than %lu bytes: not trusted", shown(path), status_read_limit);
        return nullptr;
    }
    status_length = static_cast<std::size_t>(n);
    json_error_t error;
    json_document document{
        json_loadb(status_text.data(), status_length, JSON_REJECT_DUPLICATES, &error)};
    if (!document) {
        note_absence("%s does not parse: line %d, column %d: %s", shown(path), error.line,
                     error.column, shown(error.text));
    } else if (!is_status_document(document.get())) {
        note_absence("%s is not a vorn_restart status file of format 1", shown(path));
        document.reset();
    }
    return document;
}

bool supervisor_lives(const json_t* document) {
    const auto pid = static_cast<pid_t>(integer_of(document, "pid", 0));
    std::array<char, 64> comm{};
    switch (examine_process(pid, comm.data(), comm.size())) {
        case process_kind::supervisor: return true;
        case process_kind::ended:
            note_absence("%s was left by vorn_restart pid %d, which has ended",
                         shown(status_path.data()), static_cast<int>(pid));
            break;
        case process_kind::other:
            note_absence("%s was left by vorn_restart pid %d, which has ended: pid %d is now %s",
                         shown(status_path.data()), static_cast<int>(pid), static_cast<int>(pid),
                         shown(comm.data()));
            break;
    }
    return false;
}

// The slot should run and does not: it waits, is held back, or is in a
// state this checker does not know.
bool is_due(std::string_view state) {
    return state != "running" && state != "ended" && state != "off";
}

int exit_status_of(const json_t* document) {
    if (!json_is_true(json_object_get(json_object_get(document, "configuration"), "usable")))
        return status_exit_degraded;
    const json_t* slots = json_object_get(document, "slots");
    for (std::size_t i = 0; i < json_array_size(slots); ++i)
        if (is_due(text_of(json_array_get(slots, i), "state"))) return status_exit_degraded;
    return status_exit_running;
}

short_text dash() {
    short_text text{};
    copy_text(text, "-");
    return text;
}

// "3d04h", "2h05m", "4m10s", "12s".
short_text duration(long long seconds) {
    short_text text{};
    if (seconds < 0) seconds = 0;  // a clock set back
    if (seconds >= 86400)
        format_text(text.data(), text.size(), "%lldd%02lldh", seconds / 86400,
                    seconds % 86400 / 3600);
    else if (seconds >= 3600)
        format_text(text.data(), text.size(), "%lldh%02lldm", seconds / 3600, seconds % 3600 / 60);
    else if (seconds >= 60)
        format_text(text.data(), text.size(), "%lldm%02llds", seconds / 60, seconds % 60);
    else
        format_text(text.data(), text.size(), "%llds", seconds);
    return text;
}

// Time from the moment under key until now; "-" when not known.
short_text time_since(const json_t* object, const char* key, std::time_t now) {
    const json_t* value = json_object_get(object, key);
    if (!json_is_integer(value)) return dash();
    return duration(static_cast<long long>(now) -
                    static_cast<long long>(json_integer_value(value)));
}

short_text number_text(const json_t* object, const char* key) {
    const json_t* value = json_object_get(object, key);
    short_text text{};
    if (!json_is_integer(value) || !format_text(text.data(), text.size(), "%lld",
                                                static_cast<long long>(json_integer_value(value))))
        return dash();
    return text;
}

// "code 1", "signal 9", or "-".
short_text exit_text(const json_t* slot) {
    const json_t* last_exit = json_object_get(slot, "last_exit");
    short_text text{};
    for (const char* kind : {"code", "signal"}) {
        const json_t* value = json_object_get(last_exit, kind);
        if (json_is_integer(value) &&
            format_text(text.data(), text.size(), "%s %lld", kind,
                        static_cast<long long>(json_integer_value(value))))
            return text;
    }
    return dash();
}

void print_header(const json_t* document, std::time_t now) {
    std::printf("vorn_restart pid %lld, up %s, turn %s, status written %s ago\n",
                integer_of(document, "pid", 0), time_since(document, "started", now).data(),
                number_text(document, "turn").data(), time_since(document, "written", now).data());
    const json_t* configuration = json_object_get(document, "configuration");
    const std::string_view named = text_of(configuration, "file");
    const char* file = named.empty() ? "?" : shown(named);
    if (json_is_true(json_object_get(configuration, "usable"))) {
        std::printf("configuration %s: usable\n", file);
        return;
    }
    std::printf("configuration %s: unusable, no task is started\n", file);
    const std::string_view problem = text_of(configuration, "problem");
    if (!problem.empty()) std::printf("  %s\n", shown(problem));
}

void print_table(const json_t* slots, std::time_t now) {
    if (json_array_size(slots) == 0) return;
    std::puts("slot  name                  state      pid      uptime  starts  last exit");
    for (std::size_t i = 0; i < json_array_size(slots); ++i) {
        const json_t* slot = json_array_get(slots, i);
        std::printf("%-5s %-21s %-10s %-8s %-7s %-7s %s\n", number_text(slot, "slot").data(),
                    shown(text_of(slot, "name")), shown(text_of(slot, "state")),
                    number_text(slot, "pid").data(), time_since(slot, "since", now).data(),
                    number_text(slot, "starts").data(), exit_text(slot).data());
    }
}

void print_slot_prefix(const json_t* slot) {
    std::printf("slot %s, %s: ", number_text(slot, "slot").data(), shown(text_of(slot, "name")));
}

// Why the slot's executable cannot be run, or nullptr when nothing says so.
const char* executable_fault(const json_t* slot) {
    std::array<char, 1024> path{};
    if (!path_of(slot, "path", path)) return nullptr;
    switch (examine_executable(path.data())) {
        case executable_state::missing: return "is missing";
        case executable_state::directory: return "is a directory";
        case executable_state::not_regular: return "is not a regular file";
        case executable_state::not_executable: return "is not executable";
        case executable_state::yes:
        case executable_state::unknown: break;
    }
    return nullptr;
}

bool has_exit(const json_t* slot) { return json_is_object(json_object_get(slot, "last_exit")); }

// A slot that is due and waits for the next pass: the likeliest reason first.
void explain_waiting(const json_t* slot) {
    const long long same_exits = integer_of(slot, "same_exits", 0);
    const long long short_runs = integer_of(slot, "short_runs", 0);
    print_slot_prefix(slot);
    if (const char* fault = executable_fault(slot))
        std::printf("the executable %s %s\n", shown(text_of(slot, "path")), fault);
    else if (short_runs >= 2)
        std::printf(background_text, short_runs);
    else if (same_exits >= 2 && has_exit(slot))
        std::printf("restarted %lld times and ended with %s each time\n", same_exits,
                    exit_text(slot).data());
    else
        std::puts("starts at the next pass");
}

// A running slot whose latest runs all ended alike.
void explain_running(const json_t* slot) {
    const long long same_exits = integer_of(slot, "same_exits", 0);
    const long long short_runs = integer_of(slot, "short_runs", 0);
    if (short_runs >= 2) {
        print_slot_prefix(slot);
        std::printf(background_text, short_runs);
    } else if (same_exits >= 3 && has_exit(slot)) {
        print_slot_prefix(slot);
        std::printf(
            "running again, but restarted %lld times and ended with %s each time before: a "
            "crash loop\n",
            same_exits, exit_text(slot).data());
    }
}

void explain(const json_t* slot) {
    const std::string_view state = text_of(slot, "state");
    if (state == "running") {
        explain_running(slot);
    } else if (state == "waiting") {
        explain_waiting(slot);
    } else if (state == "held_back") {
        print_slot_prefix(slot);
        const std::string_view marker = text_of(slot, "marker");
        if (marker.empty())
            std::puts("held back by a not-run marker");
        else
            std::printf("held back by marker %s\n", shown(marker));
    } else if (is_due(state)) {
        print_slot_prefix(slot);
        std::printf("its state \"%s\" is not one this checker knows\n", shown(state));
    }
}

// What the next turn kills by name: by the file given, else by the one the
// live supervisor reads.  A file that has become unusable since the
// supervisor last read it is told too: the next turn starts nothing.
void print_next_kills(const char* config_file, const json_t* live_document) {
    const json_t* configuration =
        live_document ? json_object_get(live_document, "configuration") : nullptr;
    std::array<char, 1024> live_file{};
    if (!config_file && configuration && path_of(configuration, "file", live_file))
        config_file = live_file.data();
    config_problem problem;
    if (!configure_inert(config_file, &problem) &&
        (!configuration || json_is_true(json_object_get(configuration, "usable"))))
        print_config_problem(config_file ? config_file : config_file_path(), problem);
    print_kill_listing(live_document ? static_cast<pid_t>(integer_of(live_document, "pid", 0))
                                     : pid_t{0});
}

}  // namespace

int report_status(const char* config_file, bool json) {
    absence.fill('\0');
    const json_document document = load_status();
    const bool live = document && supervisor_lives(document.get());
    if (json) {
        if (!live) {
            complain("no live vorn_restart: %s", absence.data());
            return status_exit_absent;
        }
        // Only the whole document is worth anything to a reader.
        if (std::fwrite(status_text.data(), 1, status_length, stdout) != status_length ||
            std::fflush(stdout) != 0) {
            complain("cannot write the status: %s", std::strerror(errno));
            return status_exit_absent;
        }
        return exit_status_of(document.get());
    }
    if (!live) {
        std::printf("no live vorn_restart: %s\n", absence.data());
        print_next_kills(config_file, nullptr);
        return status_exit_absent;
    }
    const std::time_t now = sys.now();
    print_header(document.get(), now);
    const json_t* slots = json_object_get(document.get(), "slots");
    print_table(slots, now);
    for (std::size_t i = 0; i < json_array_size(slots); ++i) explain(json_array_get(slots, i));
    print_next_kills(config_file, document.get());
    return exit_status_of(document.get());
}

}  // namespace vorn
