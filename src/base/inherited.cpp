// What the supervisor inherits and gives back to its children (see
// inherited.hpp): the environment's library path and SIGPIPE.
#include "base/inherited.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace vorn {

const char* saved_ld_library_path = nullptr;

namespace {

struct sigaction inherited_sigpipe {};
bool sigpipe_saved = false;

}  // namespace

void save_ld_library_path() {
    // A private copy: the environment entry may be replaced later on.
    const char* value = std::getenv("LD_LIBRARY_PATH");
    saved_ld_library_path = value ? ::strdup(value) : nullptr;
}

void restore_ld_library_path() {
    if (!saved_ld_library_path) return;
    const char* current = std::getenv("LD_LIBRARY_PATH");
    if (!current || std::strcmp(current, saved_ld_library_path) != 0)
        ::setenv("LD_LIBRARY_PATH", saved_ld_library_path, 1);
}

void ignore_broken_pipes() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigpipe_saved = ::sigaction(SIGPIPE, &ignore, &inherited_sigpipe) == 0;
}

void restore_broken_pipes() {
    if (sigpipe_saved) ::sigaction(SIGPIPE, &inherited_sigpipe, nullptr);
}

bool broken_pipes_were_default() {
    return sigpipe_saved && inherited_sigpipe.sa_handler == SIG_DFL;
}

void take_back_child_signal() {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGCHLD, &fallback, nullptr);
}

}  // namespace vorn
