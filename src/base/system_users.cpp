// Users and groups from the system's databases (see system_ops.hpp).  The
// reentrant lookups write into one buffer of fixed size, so nothing is
// allocated here; they are only ever called before fork.
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <grp.h>
#include <pwd.h>

#include "base/system_real.hpp"

namespace vorn::real {

namespace {

// Room for one entry's strings (its name, password field, home, shell, or
// a group's member list).
std::array<char, 16384> entry_text{};

// What a *_r lookup answered: found, no such entry, or the error.
int lookup_result(int error, const void* found) {
    if (found) return 1;
    // getpw*_r answer 0 or one of these for "no such entry".
    if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM)
        return 0;
    errno = error;
    return -1;
}

}  // namespace

int find_user(const char* name, uid_t* uid, gid_t* gid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int error = ::getpwnam_r(name, &entry, entry_text.data(), entry_text.size(), &found);
    const int result = lookup_result(error, found);
    if (result == 1) {
        *uid = entry.pw_uid;
        *gid = entry.pw_gid;
    }
    return result;
}

int find_user_id(uid_t uid, char* name, std::size_t cap, gid_t* gid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int error = ::getpwuid_r(uid, &entry, entry_text.data(), entry_text.size(), &found);
    const int result = lookup_result(error, found);
    if (result != 1) return result;
    const std::size_t length = std::strlen(entry.pw_name);
    if (length >= cap) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(name, entry.pw_name, length + 1);
    *gid = entry.pw_gid;
    return 1;
}

int find_group(const char* name, gid_t* gid) {
    struct group entry {};
    struct group* found = nullptr;
    const int error = ::getgrnam_r(name, &entry, entry_text.data(), entry_text.size(), &found);
    const int result = lookup_result(error, found);
    if (result == 1) *gid = entry.gr_gid;
    return result;
}

long user_groups(const char* name, gid_t primary, gid_t* groups, std::size_t cap) {
    int count = cap > INT_MAX ? INT_MAX : static_cast<int>(cap);
    const int given = count;
    if (::getgrouplist(name, primary, groups, &count) >= 0) return count;
    // Too many: count says how many there are, where the C library tells.
    return count > given ? count : static_cast<long>(cap) + 1;
}

}  // namespace vorn::real
