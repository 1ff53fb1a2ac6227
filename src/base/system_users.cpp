// Users and groups from /etc/passwd and /etc/group (see system_ops.hpp and
// accounts.hpp), read through one buffer of fixed size: nothing is
// allocated and no module of the C library's name service is loaded.
// Only ever called before fork.
#include <array>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "base/accounts.hpp"
#include "base/platform.hpp"
#include "base/system_ops.hpp"
#include "base/system_real.hpp"

namespace vorn::real {

namespace {

static_assert(std::is_same_v<uid_t, std::uint32_t> && std::is_same_v<gid_t, std::uint32_t>);

constexpr char passwd_file[] = "/etc/passwd";
constexpr char group_file[] = "/etc/group";

alignas(rarely_used) std::array<char, 4096> piece{};

bool take(void* context, const char* bytes, std::size_t length) {
    return account_read(*static_cast<account_search*>(context), {bytes, length});
}

// Runs the search over the file: 1 found, 0 not, -1 with errno set.
int search(const char* path, account_search& s) {
    if (sys.read_file_pieces(path, piece.data(), piece.size(), take, &s) != 0) return -1;
    account_finish(s);
    return s.found ? 1 : 0;
}

// Copies a name or home found into buf[cap]: false (errno ENAMETOOLONG)
// when it does not fit.
bool give(const char* text, bool too_long, char* buf, std::size_t cap) {
    const std::size_t length = std::strlen(text);
    if (too_long || length >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(buf, text, length + 1);
    return true;
}

}  // namespace

int find_user(const char* name, uid_t* uid, gid_t* gid) {
    account_search s = account_lookup(account_ask::user_named, name, 0);
    const int found = search(passwd_file, s);
    if (found == 1) {
        *uid = s.id;
        *gid = s.gid;
    }
    return found;
}

int find_user_id(uid_t uid, char* name, std::size_t cap, gid_t* gid) {
    account_search s = account_lookup(account_ask::user_numbered, {}, uid);
    const int found = search(passwd_file, s);
    if (found != 1) return found;
    if (!give(s.entry_name.data(), s.name_too_long, name, cap)) return -1;
    *gid = s.gid;
    return 1;
}

int find_user_home(const char* name, char* home, std::size_t cap) {
    account_search s = account_lookup(account_ask::user_named, name, 0);
    const int found = search(passwd_file, s);
    if (found != 1) return found;
    return give(s.home.data(), s.home_too_long, home, cap) ? 1 : -1;
}

int find_group(const char* name, gid_t* gid) {
    account_search s = account_lookup(account_ask::group_named, name, 0);
    const int found = search(group_file, s);
    if (found == 1) *gid = s.id;
    return found;
}

int find_group_id(gid_t gid) {
    account_search s = account_lookup(account_ask::group_numbered, {}, gid);
    return search(group_file, s);
}

long user_groups(const char* name, gid_t primary, gid_t* groups, std::size_t cap) {
    account_search s = account_groups(name, primary, groups, cap);
    if (search(group_file, s) < 0) return -1;
    return static_cast<long>(s.count);
}

}  // namespace vorn::real
