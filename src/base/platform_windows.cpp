// Built on Cygwin only: enables SeDebugPrivilege so that the supervisor and
// the kill-by-name runs it starts may end processes of other sessions.
#include "base/platform.hpp"

#include <cstdio>
#include <windows.h>

namespace vorn {

void enable_debug_privilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) {
        std::fputs("openProcessToken error", stdout);
        return;
    }
    LUID id;
    if (!LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &id)) {
        std::fputs("lookupPrivilegevalue error", stdout);
        return;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = id;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // The result is deliberately not looked at: without the privilege the
    // supervisor still works for processes of its own session.  The token
    // stays open for the life of the process.
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

}  // namespace vorn
