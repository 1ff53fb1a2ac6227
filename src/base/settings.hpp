// Path settings and flags decided at start-up and read-only afterwards.
#pragma once

#include <array>
#include <cstddef>

namespace vorn {

inline constexpr std::size_t setting_size = 128;
using setting_text = std::array<char, setting_size>;

inline constexpr const char default_install_path[] = "/";
inline constexpr const char default_sbin_path[] = "/usr/sbin/";
inline constexpr const char default_config_path[] = "/etc/vorn/vorn_restart/";
// Directories below the installation root, as added to a root ending in '/'.
inline constexpr const char sbin_suffix[] = "usr/sbin/";
inline constexpr const char config_suffix[] = "etc/vorn/vorn_restart/";

extern setting_text install_path;  // installation root, ends in '/'
extern setting_text sbin_path;     // task executables, ends in '/'
extern setting_text config_path;   // configuration directory, ends in '/'
extern setting_text cache_path;    // empty, or a directory ending in '/'
extern unsigned char debug_mode;   // 1: keep standard output and error
// Whether the supervisor, running as root, makes itself the OOM killer's
// last choice (oom_score_adj -1000) at start-up; --no_oom_protect: no.
extern bool oom_protect;

// Where the supervisor publishes its state; empty: nowhere.  By default
// the first of these whose directory exists (BusyBox devices often have no
// /run); the first when neither does.
inline constexpr const char default_status_path[] = "/run/vorn_restart.status";
inline constexpr const char fallback_status_path[] = "/var/run/vorn_restart.status";
inline constexpr std::size_t status_path_size = 256;
// A few bytes are kept free for the suffix of a temporary file's name.
inline constexpr std::size_t status_path_max = status_path_size - 5;
extern std::array<char, status_path_size> status_path;
// True once --status_path was given: the default is then not looked for.
extern bool status_path_given;

// Where the supervisor publishes its state as Prometheus metrics (text
// format, for a collector that reads files); empty: nowhere, the default.
// Same bound as the status path: it is written the same way.
extern std::array<char, status_path_size> metrics_path;
inline constexpr std::size_t metrics_path_max = status_path_max;

// Where each task's output goes, as <log_path>/<name>.log; empty: nowhere
// (the null device).  Ends in '/' when set.
extern setting_text log_path;
// Bytes a task's log may reach before its newest lines become the older
// generation <name>.log.1 and the log starts again empty.
inline constexpr unsigned long default_log_size = 65536;
inline constexpr unsigned long min_log_size = 4096;
inline constexpr unsigned long max_log_size = 1UL << 30;
extern unsigned long log_size;

// The watchdog device the supervisor keeps alive at every pass; empty:
// none.
extern setting_text watchdog_path;
inline constexpr std::size_t watchdog_path_max = setting_size - 1;

// Longest option values that still give settings fitting their fields,
// not counting one final '/'.
inline constexpr std::size_t install_path_max = setting_size - 1 - (sizeof(config_suffix) - 1) - 1;
inline constexpr std::size_t cache_path_max = setting_size - 1 - 1;
inline constexpr std::size_t log_path_max = setting_size - 1 - 1;

enum class path_result {
    ok,           // taken (or, for the cache path, silently ignored)
    missing,      // a directory made from an installation root does not exist
    too_long,     // a setting made from the value would not fit: nothing changed
    parent_step,  // the value holds a ".." component: refused, nothing changed
};

// Every path option is taken whole, in one form, before anything looks at
// it: runs of '/' become one, "." components go, and so does a final '/'
// ("/" stays "/", a path of "." components alone is ".").  A ".." component
// is refused (parent_step): through a symbolic link before it, it leads
// elsewhere than the text says, and as the last component it would have
// the link followed by an open that refuses links.  The tidied path into
// out[size]; too_long when it does not fit.
path_result tidy_path(const char* path, char* out, std::size_t size);

// The same for a directory: the tidied path with its final '/' ("" stays
// ""), into value, which is left as it was unless the result is ok.
path_result tidy_directory(const char* path, setting_text& value);

// Why an option's value was refused: "value too long (at most <max> bytes
// ...)" or the ".." refusal, into buf[size].  dir: the setting ends in '/'.
void describe_path_refusal(char* buf, std::size_t size, path_result result, std::size_t max,
                           bool dir);

// Zero-fills the settings and writes the defaults.
void reset_settings();

// Makes the three directories from an installation root and checks that
// they exist.  On `missing` the settings hold the new values.
path_result apply_install_path(const char* root);

// Takes dir as the cache directory if it exists; a directory that does not
// exist leaves the cache path as it is, however long its name.
path_result apply_cache_path(const char* dir);

// Takes file as the status path (empty: no status file); too_long leaves
// the status path as it is.
path_result apply_status_path(const char* file);

// Takes file as the metrics path (empty: no metrics file); too_long leaves
// the metrics path as it is.
path_result apply_metrics_path(const char* file);

// Takes dir as the log directory (empty: no logs); too_long leaves the log
// path as it is.  Whether the directory can be used is decided when the
// supervisor starts, not here.
path_result apply_log_path(const char* dir);

// Takes path as the watchdog device (empty: none); too_long leaves the
// setting as it is.  The device is opened when the supervisor starts.
path_result apply_watchdog_path(const char* path);

// Takes a decimal number of bytes from min_log_size to max_log_size as the
// log bound.  False, with the bound unchanged, for anything else.
bool apply_log_size(const char* text);

// The default status path on this system: /var/run/vorn_restart.status
// when /run does not exist and /var/run does, else /run/vorn_restart.status.
const char* default_status_path_here();

// Unless --status_path was given, the status path becomes that default.
void choose_default_status_path();

// Replaces every backslash by a slash, in place.
void to_slashes(char* text);

// Removes the first "/.vorn" (and nothing else) from text, in place.
void remove_vorn_dir(char* text);

// Backslashes to slashes in all four settings, then the cache path loses
// its first "/.vorn".
void normalise_settings();

inline constexpr std::size_t update_path_size = 256;
using update_path = std::array<char, update_path_size>;

// The updater executable and its pending replacement, "<target>.tmp".
void format_update_paths(update_path& target, update_path& pending);

// Moves a pending "<sbin_path>vorn_update.tmp" onto the updater executable.
void complete_pending_update();

// The four-line report of the settings, on standard error.
void print_settings_report();

// The start-up line on standard error.
void print_startup_line();

}  // namespace vorn
