// libFuzzer target for the checker's reading of a status file
// (vorn_restart_check --status): arbitrary bytes as the content of the
// file, through the real report_status, in text and in --json mode, with
// what it prints checked after every input.
//
// The file is one anyone with access to its directory could have planted,
// so whatever it holds the report must not crash, overflow, leak or print
// a raw byte.  Every system call goes to a fake `sys` table: the status
// file is the input, a regular root-owned 0644 file whose modification
// time is the boot clock (a pass mark of now); /proc holds a live
// supervisor, pid 812, started at tick 7000 and owned by root, as the seeds
// name it, with a child 900 + slot for each slot of its configuration, so
// that an input gets past the liveness checks and through the whole report
// (header, table, explanations, kill listing).  Processes, files and
// descriptors of the real system are never touched: any other call aborts.
//
// The last byte of the input picks a variant of the fake; a document may
// end in any JSON white space, so every variant reads the same document:
//   ' '   the supervisor is stopped (state T)
//   '\t'  its last pass mark is 41 s old (no pass for longer than a stale mark)
//   '\r'  the checker's own configuration has become unusable
//   else  as described above ('\n' ends what the supervisor writes)
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <jansson.h>

#include "base/messages.hpp"
#include "base/process_names.hpp"
#include "base/settings.hpp"
#include "base/system_ops.hpp"
#include "check/command_line.hpp"
#include "check/status.hpp"
#include "check/status_read.hpp"

namespace {

using namespace vorn;

constexpr pid_t supervisor_pid = 812;
constexpr std::time_t boot_clock = 300000;
constexpr const char* status_file = default_status_path;  // the settings' default
constexpr const char* config_file = "/etc/vorn/vorn_restart/vorn_restart.conf";

// The checker's own configuration: the first 13 tasks of the installation
// the real seeds were written on, in the same slots (tests/fuzz/status_seeds.sh).
constexpr const char own_config[] = R"({"tasks": [
  {"name": "vorn_update", "system": 1}, {"name": "vorn_monitor", "system": 1},
  {"name": "w"}, {"name": "gone"}, {"name": "dir"}, {"name": "plain"},
  {"name": "once_task", "mode": "once"}, {"name": "a_very_long_task_name"},
  {"name": "off", "mode": "none"}, {"name": "crash"}, {"name": "bg"}, {"name": "held"},
  {"name": "killed"}]}
)";
constexpr const char* slot_names[] = {
    "vorn_update",           "vorn_monitor", "w",     "gone", "dir",  "plain", "once_task",
    "a_very_long_task_name", "off",          "crash", "bg",   "held", "killed"};
// Unusable since the supervisor read it: the next turn starts nothing.
constexpr const char unusable_config[] = R"({"tasks": [{"name": "w"}, {"name": 7}]})";

struct fake_file {
    std::string path;
    std::string text;
};
std::vector<fake_file> files;  // /proc and the configuration, made once
std::string stopped_stat;      // /proc/812/stat of a stopped supervisor

struct fake_path {
    std::string path;
    mode_t mode;
    uid_t owner;
};
std::vector<fake_path> paths;  // what stat_path finds

// The input and the variant of the fake it picks.
const std::uint8_t* input_data = nullptr;
std::size_t input_size = 0;
bool supervisor_stopped = false;
std::time_t mark_age = 0;
bool own_config_unusable = false;
// VORN_STATUS_FUZZ_SHOW set: each report and its exit status go to standard
// output, to see where the seeds lead (run the target on the files).
bool show_reports = false;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "status fuzzer: %s\n", what);
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

const std::string* find_file(const char* path) {
    const std::string_view name(path);
    if (supervisor_stopped && name == "/proc/812/stat") return &stopped_stat;
    for (const fake_file& file : files)
        if (file.path == name) return &file.text;
    return nullptr;
}

long copy_out(const char* from, std::size_t size, char* buf, std::size_t cap) {
    const std::size_t n = size < cap ? size : cap;
    if (n > 0) std::memcpy(buf, from, n);
    return static_cast<long>(n);
}

long fake_read_file(const char* path, char* buf, std::size_t cap) {
    if (own_config_unusable && std::strcmp(path, config_file) == 0)
        return copy_out(unusable_config, sizeof(unusable_config) - 1, buf, cap);
    const std::string* text = find_file(path);
    if (!text) {
        errno = ENOENT;
        return -1;
    }
    return copy_out(text->data(), text->size(), buf, cap);
}

long fake_read_file_info(const char* path, char* buf, std::size_t cap, struct stat* info) {
    if (std::strcmp(path, status_file) != 0) fail("a file other than the status file read");
    *info = {};
    info->st_mode = S_IFREG | 0644;
    info->st_uid = 0;
    info->st_mtim.tv_sec = boot_clock - mark_age;
    return copy_out(reinterpret_cast<const char*>(input_data), input_size, buf, cap);
}

int fake_read_file_pieces(const char* path, char* buf, std::size_t cap,
                          bool (*take)(void*, const char*, std::size_t), void* context) {
    const std::string* text = find_file(path);
    if (!text) {
        errno = ENOENT;
        return -1;
    }
    for (std::size_t at = 0; at < text->size();) {
        const auto n =
            static_cast<std::size_t>(copy_out(text->data() + at, text->size() - at, buf, cap));
        at += n;
        if (!take(context, buf, n)) break;
    }
    return 0;
}

long fake_read_link(const char* path, char* buf, std::size_t cap) {
    const long n = fake_read_file(path, buf, cap - 1);
    if (n >= 0) buf[n] = '\0';
    return n;
}

int fake_stat(const char* path, struct stat* info) {
    for (const fake_path& p : paths)
        if (p.path == path) {
            *info = {};
            info->st_mode = p.mode;
            info->st_uid = p.owner;
            return 0;
        }
    errno = ENOENT;
    return -1;
}

bool fake_executable(const char* path) {
    struct stat info {};
    return fake_stat(path, &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

bool fake_exists(const char* path) {
    struct stat info {};
    return fake_stat(path, &info) == 0;
}

std::vector<pid_t> pids;
long fake_list_processes(pid_t* out, std::size_t cap) {
    std::size_t n = 0;
    for (; n < pids.size() && n < cap; ++n) out[n] = pids[n];
    return static_cast<long>(n);
}

// Reading a status file acts on nothing.
pid_t no_fork() { fail("fork"); }
pid_t no_reap(int*) { fail("waitpid"); }
int no_child_ended(pid_t, int*) { fail("waitid"); }
int no_kill(pid_t) { fail("kill"); }
int no_wait(struct pollfd*, std::size_t, long long) { fail("a wait"); }
int no_open() { fail("open of the null device"); }
void no_redirect(int) { fail("dup2"); }
void no_close(int) { fail("close"); }
int no_kill_by_name(const char* const*, std::size_t, kill_output) { fail("killall"); }
int no_rename(const char*, const char*) { fail("rename"); }
void no_standard_descriptors() { fail("opening descriptors"); }
int no_replace(const char*, const char*, std::size_t, std::time_t) { fail("writing a file"); }
int no_stamp(const char*, std::time_t) { fail("setting a file's time"); }
int no_remove(const char*) { fail("removing a file"); }

// A process as /proc shows it (fields 3 to 22 of stat as the kernel
// writes them), owned by `owner`.
void add_process(pid_t pid, const std::string& comm, const std::string& cmdline, pid_t parent,
                 char state, unsigned long long start_ticks, uid_t owner = 0) {
    const std::string dir = "/proc/" + std::to_string(pid);
    const std::string stat = std::to_string(pid) + " (" + comm + ") " + state + " " +
                             std::to_string(parent) +
                             " 1 1 0 -1 4194560 100 0 0 0 2 3 0 0 20 0 1 0 " +
                             std::to_string(start_ticks) + " 1000 200\n";
    files.push_back({dir + "/stat", stat});
    files.push_back({dir + "/comm", comm + "\n"});
    files.push_back({dir + "/cmdline", cmdline});
    files.push_back({dir + "/exe", "/usr/sbin/" + comm});
    paths.push_back({dir, S_IFDIR | 0555, owner});
    pids.push_back(pid);
}

void make_system() {
    using namespace std::string_literals;
    files.push_back({config_file, own_config});
    files.push_back({"/proc/self/stat", "1 (status_fuzz) R 0\n"});
    // The supervisor, stopped or not, and its PATH with a killall on it.
    add_process(supervisor_pid, "vorn_restart", "/usr/sbin/vorn_restart\0-d\0"s, 1, 'S', 7000);
    stopped_stat = *find_file("/proc/812/stat");
    stopped_stat.replace(stopped_stat.find(") S"), 3, ") T");
    files.push_back({"/proc/812/environ", "HOME=/\0PATH=/usr/sbin:/usr/bin:/sbin:/bin\0"s});
    paths.push_back({"/usr/bin/killall", S_IFREG | 0755, 0});
    paths.push_back({"/run/", S_IFDIR | 0755, 0});
    // A child 900 + slot per slot; the one in slot 9 has ended and waits
    // for its reap.  comm keeps 15 bytes of a name, killall then reads the
    // command line.
    for (std::size_t slot = 0; slot < std::size(slot_names); ++slot) {
        const std::string name = slot_names[slot];
        add_process(static_cast<pid_t>(900 + slot), name.substr(0, 15), "/usr/sbin/" + name + "\0"s,
                    supervisor_pid, slot == 9 ? 'Z' : 'S', 8000 + slot);
        // The executables: missing, a directory, not executable, a fifo
        // (for a held-back task, whose file the report looks at only when
        // the status file says it waits), or one that runs.
        if (name == "gone") continue;
        const mode_t mode = name == "dir"     ? S_IFDIR | 0755
                            : name == "plain" ? S_IFREG | 0644
                            : name == "held"  ? S_IFIFO | 0755
                                              : S_IFREG | 0755;
        paths.push_back({"/usr/sbin/" + name, mode, 0});
    }
    // A copy of a task the supervisor did not start, another program,
    // and another user's supervisor.
    add_process(950, "w", "w\0"s, 1, 'S', 9000);
    add_process(77, "sshd", "/usr/sbin/sshd\0-D\0"s, 1, 'S', 300);
    add_process(813, "vorn_restart", "vorn_restart\0"s, 1, 'S', 7000, 1000);
}

// Whether text can go to a terminal as it is: well-formed UTF-8 with no
// control character but the line end, no C1 control and nothing that
// reorders or hides text (bidirectional controls, zero-width characters,
// the byte-order mark).  The checker must escape everything else.
bool printable(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\n' || (b >= 0x20 && b < 0x7f)) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned code = 0;
        if (b >= 0xc2 && b <= 0xdf) {
            length = 2, code = b & 0x1fu;
        } else if (b >= 0xe0 && b <= 0xef) {
            length = 3, code = b & 0x0fu;
        } else if (b >= 0xf0 && b <= 0xf4) {
            length = 4, code = b & 0x07u;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xc0u) != 0x80) return false;
            code = (code << 6) | (c & 0x3fu);
        }
        const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        if (code < 0xa0 || code == 0x061c || (code >= 0x200b && code <= 0x200f) ||
            (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069) ||
            code == 0xfeff)
            return false;
        i += length;
    }
    return true;
}

struct report {
    int status;
    std::string out, err;
};

// report_status with standard output and error caught in memory.
report run_report(bool json) {
    char* out = nullptr;
    char* err = nullptr;
    std::size_t out_size = 0, err_size = 0;
    FILE* const out_stream = open_memstream(&out, &out_size);
    FILE* const err_stream = open_memstream(&err, &err_size);
    if (!out_stream || !err_stream) fail("open_memstream failed");
    FILE* const saved_out = stdout;
    FILE* const saved_err = stderr;
    stdout = out_stream;
    stderr = err_stream;
    const int status = report_status(nullptr, json);
    stdout = saved_out;
    stderr = saved_err;
    if (std::fclose(out_stream) != 0 || std::fclose(err_stream) != 0)
        fail("the output caught in memory is incomplete");
    report result{status, std::string(out, out_size), std::string(err, err_size)};
    std::free(out);
    std::free(err);
    return result;
}

bool begins(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

void check_reports(const report& text, const report& json) {
    const int status = text.status;
    check(status == status_exit_running || status == status_exit_degraded ||
              status == status_exit_absent || status == status_exit_unknown,
          "exit status not one of 0, 1, 3, 4");
    check(json.status == status, "--json and the text report differ in exit status");
    const bool live = status == status_exit_running || status == status_exit_degraded;
    if (live && (supervisor_stopped || mark_age > status_stale_seconds))
        check(status == status_exit_degraded, "a stopped or hung supervisor reported as running");

    // The text report: everything escaped, nothing on standard error, and
    // always the listing of what the next turn kills.
    check(printable(text.out), "the report prints a raw byte");
    check(text.err.empty(), "the report writes to standard error");
    check(!text.out.empty() && text.out.back() == '\n', "the report ends within a line");
    check(text.out.find("the next turn kills by name:\n") != std::string::npos,
          "the report has no kill listing");
    if (live)
        check(begins(text.out, "vorn_restart pid 812, up "), "a live report without its header");
    else if (status == status_exit_absent)
        check(begins(text.out, "no live vorn_restart: "), "an absent supervisor not said");
    else
        check(begins(text.out, "the status of vorn_restart is not known: "),
              "an unknown status not said");

    // --json: one line of JSON, the judgement of the same moment as the
    // text's: the file's members in place, the same exit status and liveness.
    check(
        !json.out.empty() && json.out.back() == '\n' && json.out.find('\n') == json.out.size() - 1,
        "--json is not one line");
    json_t* view = json_loads(json.out.c_str(), 0, nullptr);
    check(view != nullptr, "--json does not print JSON");
    check(json_integer_value(json_object_get(view, "exit_status")) == status,
          "--json names another exit status");
    check(json_is_true(json_object_get(json_object_get(view, "supervisor"), "lives")) == live,
          "--json and the text report differ on whether the supervisor lives");
    if (live) {
        json_t* file =
            json_loadb(reinterpret_cast<const char*>(input_data), input_size, 0, nullptr);
        const char* key = nullptr;
        json_t* value = nullptr;
        json_object_foreach(file, key, value) {
            check(std::strcmp(key, "slots") == 0 || json_equal(value, json_object_get(view, key)),
                  "--json does not keep a member of the file as it is");
        }
        check(json_array_size(json_object_get(file, "slots")) ==
                  json_array_size(json_object_get(view, "slots")),
              "--json does not keep every slot");
        json_decref(file);
        check(json.err.empty(), "--json writes to standard error for a live supervisor");
    } else {
        check(begins(json.err, "vorn_restart_check: ") && json.err.back() == '\n' &&
                  json.err.find('\n') == json.err.size() - 1,
              "--json does not say in one line why there is no status");
        check(printable(json.err), "--json prints a raw byte on standard error");
    }
    json_decref(view);
}

// Numbers are where a reader of this file goes wrong (an overflow on
// "started": -9223372036854775808 once), and a byte-wise mutation seldom
// writes a whole edge value in the place of a number.  So a quarter of the
// mutations replace one number of the document, picked at random, by an
// edge value of a range the checker bounds or of json_int_t; the rest are
// libFuzzer's own.
constexpr std::string_view edge_values[] = {
    // json_int_t and just past it
    "-9223372036854775808", "9223372036854775807", "-9223372036854775807", "18446744073709551616",
    // small values, slots, exit codes and signals
    "-1", "0", "1", "2", "15", "16", "127", "128", "255", "256",
    // the bounds of pids, counts, times and clock ticks
    "2147483647", "2147483648", "-2147483649", "4294967295", "4294967296", "1099511627776",
    "1099511627777", "-1099511627776", "1152921504606846976", "1152921504606846977",
    // boot-clock moments a day, an hour, a minute and a second ago, now and just after
    "213600", "296400", "299940", "299999", "300000", "300001", "300002", "300003",
    // not integers
    "1e400", "1.5", "-0"};

bool in_number(std::uint8_t c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

std::size_t replace_a_number(std::uint8_t* data, std::size_t size, std::size_t max_size,
                             std::minstd_rand& random) {
    // A number begins outside a string, after ':', '[' or ',' and blanks.
    std::size_t start = 0, end = 0, seen = 0;
    bool in_string = false;
    std::uint8_t before = 0;  // the last byte outside strings that is not blank
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t c = data[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        const bool begins = (c == '-' || (c >= '0' && c <= '9')) &&
                            (before == ':' || before == '[' || before == ',');
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') before = c;
        if (!begins) continue;
        std::size_t j = i;
        while (j < size && in_number(data[j])) ++j;
        if (random() % ++seen == 0) start = i, end = j;  // each number alike
        i = j - 1;
    }
    if (seen == 0) return 0;
    const std::string_view value = edge_values[random() % std::size(edge_values)];
    const std::size_t new_size = size - (end - start) + value.size();
    if (new_size > max_size) return 0;
    std::memmove(data + start + value.size(), data + end, size - end);
    std::memcpy(data + start, value.data(), value.size());
    return new_size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    program_name = "vorn_restart_check";
    show_reports = std::getenv("VORN_STATUS_FUZZ_SHOW") != nullptr;
    make_system();
    sys = {.fork_process = no_fork,
           .reap_any = no_reap,
           .child_ended = no_child_ended,
           .kill_process = no_kill,
           .wait_for = no_wait,
           .open_null_device = no_open,
           .redirect_output = no_redirect,
           .close_descriptor = no_close,
           .kill_by_name = no_kill_by_name,
           .read_file = fake_read_file,
           .path_exists = fake_exists,
           .stat_path = fake_stat,
           .path_executable = fake_executable,
           .rename_path = no_rename,
           .open_standard_descriptors = no_standard_descriptors,
           .now = [] { return std::time_t{1765152000}; },
           .boot_seconds = [] { return boot_clock; },
           .replace_file = no_replace,
           .stamp_file = no_stamp,
           .remove_file = no_remove,
           .read_file_info = fake_read_file_info,
           .list_processes = fake_list_processes,
           .files_written_by = [](pid_t, const file_identity*, std::size_t) { return 0UL; },
           .read_link = fake_read_link,
           .read_file_pieces = fake_read_file_pieces};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input_data = data;
    input_size = size;
    const char last = size > 0 ? static_cast<char>(data[size - 1]) : '\0';
    supervisor_stopped = last == ' ';
    mark_age = last == '\t' ? status_stale_seconds + 1 : 0;
    own_config_unusable = last == '\r';
    // What the checker's command line would have set: the defaults.
    reset_settings();
    reset_own_names();
    check_line = check_command{};
    const report text = run_report(false);
    const report json = run_report(true);
    if (show_reports)
        std::printf("%s(exit status %d)\n--json: %s%s(exit status %d)\n\n", text.out.c_str(),
                    text.status, json.out.c_str(), json.err.c_str(), json.status);
    check_reports(text, json);
    return 0;
}

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
    std::minstd_rand random(seed);
    if (random() % 4 == 0)
        if (const std::size_t n = replace_a_number(data, size, max_size, random)) return n;
    return LLVMFuzzerMutate(data, size, max_size);
}
