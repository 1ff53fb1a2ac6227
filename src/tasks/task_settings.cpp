// What each task runs with beyond its program (see task_settings.hpp).
#include "tasks/task_settings.hpp"
#include "base/platform.hpp"

#include <cstring>
#include <string_view>

namespace vorn {

alignas(rarely_used) std::array<task_settings, task_slot_count> task_settings_table{};
std::array<bool, task_slot_count> task_settings_used{};

namespace {

// The kernel's capabilities by number, as capabilities(7) names them.
constexpr std::array<const char*, capability_count> capability_names = {"chown",
                                                                        "dac_override",
                                                                        "dac_read_search",
                                                                        "fowner",
                                                                        "fsetid",
                                                                        "kill",
                                                                        "setgid",
                                                                        "setuid",
                                                                        "setpcap",
                                                                        "linux_immutable",
                                                                        "net_bind_service",
                                                                        "net_broadcast",
                                                                        "net_admin",
                                                                        "net_raw",
                                                                        "ipc_lock",
                                                                        "ipc_owner",
                                                                        "sys_module",
                                                                        "sys_rawio",
                                                                        "sys_chroot",
                                                                        "sys_ptrace",
                                                                        "sys_pacct",
                                                                        "sys_admin",
                                                                        "sys_boot",
                                                                        "sys_nice",
                                                                        "sys_resource",
                                                                        "sys_time",
                                                                        "sys_tty_config",
                                                                        "mknod",
                                                                        "lease",
                                                                        "audit_write",
                                                                        "audit_control",
                                                                        "setfcap",
                                                                        "mac_override",
                                                                        "mac_admin",
                                                                        "syslog",
                                                                        "wake_alarm",
                                                                        "block_suspend",
                                                                        "audit_read",
                                                                        "perfmon",
                                                                        "bpf",
                                                                        "checkpoint_restore"};

}  // namespace

const task_settings* settings_of(std::size_t slot) {
    if (slot >= task_slot_count || !task_settings_used[slot]) return nullptr;
    return &task_settings_table[slot];
}

bool task_refused(std::size_t slot, const char** reason) {
    const task_settings* settings = settings_of(slot);
    if (!settings || settings->refusal[0] == '\0') return false;
    if (reason) *reason = settings->refusal.data();
    return true;
}

void clear_task_settings() {
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        if (!task_settings_used[i]) continue;
        task_settings_table[i] = task_settings{};
        task_settings_used[i] = false;
    }
}

const char* capability_name(std::size_t number) {
    return number < capability_names.size() ? capability_names[number] : nullptr;
}

int capability_number(const char* name) {
    const std::string_view text(name);
    for (std::size_t i = 0; i < capability_names.size(); ++i)
        if (text == capability_names[i]) return static_cast<int>(i);
    return -1;
}

}  // namespace vorn
