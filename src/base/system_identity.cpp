// The real system calls that give a process what its task's settings ask:
// its OOM score, limits, nice value, capabilities, user and groups, working
// directory, and the exec.  All of them run in a child between fork and
// exec, so each is async-signal-safe: plain system calls, no allocation.
#include "base/system_real.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// The kernel's numbers, for C libraries whose headers do not name them yet.
#ifndef PR_CAPBSET_DROP
#define PR_CAPBSET_DROP 24
#endif
#ifndef PR_SET_KEEPCAPS
#define PR_SET_KEEPCAPS 8
#endif
#ifndef PR_SET_NO_NEW_PRIVS
#define PR_SET_NO_NEW_PRIVS 38
#endif
#ifndef PR_CAP_AMBIENT
#define PR_CAP_AMBIENT 47
#endif
#ifndef PR_CAP_AMBIENT_RAISE
#define PR_CAP_AMBIENT_RAISE 2
#endif

namespace vorn::real {

namespace {

// capset's arguments as the kernel takes them (version 3: 64 bits in two
// 32-bit words), written out here so that no capability library is needed.
constexpr std::uint32_t capability_version_3 = 0x20080522;
struct capability_header {
    std::uint32_t version;
    int pid;
};
struct capability_word {
    std::uint32_t effective;
    std::uint32_t permitted;
    std::uint32_t inheritable;
};

}  // namespace

int set_oom_score(int value) {
    // The number by hand: no formatting function is safe after fork.
    std::array<char, 16> text{};
    std::size_t at = text.size();
    const bool negative = value < 0;
    unsigned magnitude =
        negative ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        text[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && at > 1);
    if (negative) text[--at] = '-';
    const int fd = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const std::size_t len = text.size() - at;
    ssize_t n = 0;
    do {
        n = ::write(fd, text.data() + at, len);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(len)) return closed_on_error(fd);
    ::close(fd);
    return 0;
}

int set_limit(int resource, std::uint64_t value) {
    const rlim_t limit = value == UINT64_MAX ? RLIM_INFINITY : static_cast<rlim_t>(value);
    const rlimit both{limit, limit};
    return ::setrlimit(static_cast<decltype(RLIMIT_NOFILE)>(resource), &both);
}

int set_nice(int value) { return ::setpriority(PRIO_PROCESS, 0, value); }

int drop_bounding_capability(int number) {
    return ::prctl(PR_CAPBSET_DROP, static_cast<unsigned long>(number), 0UL, 0UL, 0UL);
}

int keep_capabilities() { return ::prctl(PR_SET_KEEPCAPS, 1UL, 0UL, 0UL, 0UL); }

int set_groups(const gid_t* groups, std::size_t count) { return ::setgroups(count, groups); }

int set_group_id(gid_t gid) { return ::setresgid(gid, gid, gid); }

int set_user_id(uid_t uid) { return ::setresuid(uid, uid, uid); }

void identity_now(uid_t uids[3], gid_t gids[3]) {
    ::getresuid(&uids[0], &uids[1], &uids[2]);
    ::getresgid(&gids[0], &gids[1], &gids[2]);
}

int set_capabilities(std::uint64_t kept) {
    capability_header header{capability_version_3, 0};
    const auto low = static_cast<std::uint32_t>(kept);
    const auto high = static_cast<std::uint32_t>(kept >> 32);
    std::array<capability_word, 2> words{{{low, low, low}, {high, high, high}}};
    return static_cast<int>(::syscall(SYS_capset, &header, words.data()));
}

int raise_ambient_capability(int number) {
    return ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, static_cast<unsigned long>(number), 0UL,
                   0UL);
}

int change_directory(const char* path) { return ::chdir(path); }

int forbid_new_privileges() { return ::prctl(PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL); }

int exec_program(const char* path, char* const argv[], char* const envp[]) {
    if (envp == nullptr) return ::execvp(path, argv);
    return ::execve(path, argv, envp);
}

}  // namespace vorn::real
