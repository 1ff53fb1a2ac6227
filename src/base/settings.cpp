// Path settings and flags decided at start-up (see settings.hpp).
#include "base/settings.hpp"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/platform.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"

namespace vorn {

setting_text install_path{};
setting_text sbin_path{};
setting_text config_path{};
setting_text cache_path{};
unsigned char debug_mode = 0;
bool oom_protect = true;
std::array<char, status_path_size> status_path{};
bool status_path_given = false;
std::array<char, status_path_size> metrics_path{};
setting_text log_path{};
setting_text watchdog_path{};
unsigned long log_size = default_log_size;

namespace {

constexpr char updater_name[] = "vorn_update";

// The longest setting, the updater's name, the suffix and ".tmp" fit.
static_assert(setting_size - 1 + sizeof(updater_name) - 1 + sizeof(executable_suffix) - 1 +
                  sizeof(".tmp") <=
              update_path_size);

bool exists(const char* path) { return sys.path_exists(path); }

bool ends_in_slash(const char* text) {
    const std::size_t n = std::strlen(text);
    return n > 0 && text[n - 1] == '/';
}

// The tidied path of a file setting into field, when it fits within max.
template <std::size_t N>
path_result apply_file_path(std::array<char, N>& field, const char* path, std::size_t max) {
    std::array<char, N> value{};
    const path_result tidied = tidy_path(path, value.data(), value.size());
    if (tidied != path_result::ok) return tidied;
    if (std::strlen(value.data()) > max) return path_result::too_long;
    field = value;
    return path_result::ok;
}

}  // namespace

path_result tidy_path(const char* path, char* out, std::size_t size) {
    std::size_t used = 0;
    if (size == 0) return path_result::too_long;
    if (*path == '/') out[used++] = '/';
    for (const char* at = path; *at != '\0';) {
        while (*at == '/') ++at;
        const char* end = at;
        while (*end != '\0' && *end != '/') ++end;
        const std::string_view part(at, static_cast<std::size_t>(end - at));
        at = end;
        if (part.empty() || part == ".") continue;
        if (part == "..") return path_result::parent_step;
        const bool slash = used > 0 && out[used - 1] != '/';
        if (used + (slash ? 1 : 0) + part.size() >= size) return path_result::too_long;
        if (slash) out[used++] = '/';
        for (const char c : part) out[used++] = c;
    }
    if (used == 0 && *path != '\0') {
        if (size < 2) return path_result::too_long;
        out[used++] = '.';
    }
    out[used] = '\0';
    return path_result::ok;
}

path_result tidy_directory(const char* path, setting_text& value) {
    setting_text tidied{};
    const path_result result = tidy_path(path, tidied.data(), tidied.size());
    if (result != path_result::ok) return result;
    setting_text out{};
    if (tidied[0] != '\0' && !format_text(out.data(), out.size(), "%s%s", tidied.data(),
                                          ends_in_slash(tidied.data()) ? "" : "/"))
        return path_result::too_long;
    value = out;
    return path_result::ok;
}

void describe_path_refusal(char* buf, std::size_t size, path_result result, std::size_t max,
                           bool dir) {
    if (result == path_result::parent_step)
        copy_text(buf, size, "'..' is not taken in a path: name the directory without it");
    else
        format_text(buf, size, "value too long (at most %zu bytes%s)", max,
                    dir ? ", not counting a final /" : "");
}

void reset_settings() {
    install_path.fill('\0');
    sbin_path.fill('\0');
    config_path.fill('\0');
    cache_path.fill('\0');
    debug_mode = 0;
    oom_protect = true;
    copy_text(install_path, default_install_path);
    copy_text(sbin_path, default_sbin_path);
    copy_text(config_path, default_config_path);
    status_path.fill('\0');
    copy_text(status_path, default_status_path);
    status_path_given = false;
    metrics_path.fill('\0');
    log_path.fill('\0');
    log_size = default_log_size;
    watchdog_path.fill('\0');
}

const char* default_status_path_here() {
    return !exists("/run/") && exists("/var/run/") ? fallback_status_path : default_status_path;
}

void choose_default_status_path() {
    if (status_path_given) return;
    status_path.fill('\0');
    copy_text(status_path, default_status_path_here());
}

path_result apply_status_path(const char* file) {
    const path_result result = apply_file_path(status_path, file, status_path_max);
    if (result == path_result::ok) status_path_given = true;
    return result;
}

path_result apply_metrics_path(const char* file) {
    return apply_file_path(metrics_path, file, metrics_path_max);
}

path_result apply_log_path(const char* dir) {
    setting_text value{};
    const path_result result = tidy_directory(dir, value);
    if (result == path_result::ok) log_path = value;
    return result;
}

path_result apply_watchdog_path(const char* path) {
    return apply_file_path(watchdog_path, path, watchdog_path_max);
}

bool apply_log_size(const char* text) {
    unsigned long value = 0;
    if (*text == '\0') return false;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(*c - '0');
        if (value > max_log_size) return false;
    }
    if (value < min_log_size) return false;
    log_size = value;
    return true;
}

path_result apply_install_path(const char* given) {
    setting_text root_dir{}, sbin{}, config{};
    const path_result tidied = tidy_directory(given, root_dir);
    if (tidied != path_result::ok) return tidied;
    if (root_dir[0] == '\0') copy_text(root_dir, "/");
    const char* root = root_dir.data();
    if (!format_text(sbin.data(), sbin.size(), "%s%s", root, sbin_suffix) ||
        !format_text(config.data(), config.size(), "%s%s", root, config_suffix))
        return path_result::too_long;
    install_path = root_dir;
    sbin_path = sbin;
    config_path = config;
    if (!exists(install_path.data()) || !exists(config_path.data()) || !exists(sbin_path.data()))
        return path_result::missing;
    return path_result::ok;
}

path_result apply_cache_path(const char* dir) {
    if (!exists(dir)) return path_result::ok;  // ignored, whatever its length
    setting_text value{};
    const path_result result = tidy_directory(dir, value);
    if (result == path_result::ok) cache_path = value;
    return result;
}

void to_slashes(char* text) {
    for (; *text; ++text)
        if (*text == '\\') *text = '/';
}

void remove_vorn_dir(char* text) {
    static constexpr char marker[] = "/.vorn";
    char* found = std::strstr(text, marker);
    if (!found) return;
    const char* rest = found + sizeof(marker) - 1;
    std::memmove(found, rest, std::strlen(rest) + 1);
}

void normalise_settings() {
    to_slashes(install_path.data());
    to_slashes(config_path.data());
    to_slashes(sbin_path.data());
    to_slashes(cache_path.data());
    remove_vorn_dir(cache_path.data());
}

void format_update_paths(update_path& target, update_path& pending) {
    // Both fit (see the static_assert above).
    format_text(target.data(), target.size(), "%s%s%s", sbin_path.data(), updater_name,
                executable_suffix);
    format_text(pending.data(), pending.size(), "%s.tmp", target.data());
}

void complete_pending_update() {
    update_path target{}, pending{};
    format_update_paths(target, pending);
    if (!exists(pending.data())) return;
    std::printf("%s found, rename to %s\n", pending.data(), target.data());
    // A failed rename leaves the old updater in place, which still runs.
    sys.rename_path(pending.data(), target.data());
}

void print_settings_report() {
    std::fprintf(stderr, "install_path: %s\nconfig_path: %s\nsbin_path: %s\ncache_path: %s\n",
                 install_path.data(), config_path.data(), sbin_path.data(), cache_path.data());
}

void print_startup_line() {
    std::fprintf(stderr, "install_path: %s, config_path=%s, sbin_path=%s, cache_path=%s\n",
                 install_path.data(), config_path.data(), sbin_path.data(), cache_path.data());
}

}  // namespace vorn
