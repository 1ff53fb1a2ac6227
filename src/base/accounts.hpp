// Users and groups read from /etc/passwd and /etc/group as they are
// written, one lookup at a time, fed the files in pieces of any size so
// that neither file is ever held whole (nothing is allocated, whatever
// their length).  Other sources of the C library's name service (LDAP,
// NIS, systemd's dynamic users) are not consulted: their modules would
// stay mapped in the supervisor for good.
//
// A line of /etc/passwd is "name:password:uid:gid:comment:home:shell", one
// of /etc/group "name:password:gid:member,member...".  Empty lines, lines
// starting with '#' and lines that are not such entries (too few fields,
// an empty name, an id that is not a decimal number up to 4294967294) are
// passed over; the first entry that answers counts, as the C library has it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

inline constexpr std::size_t account_name_size = 33;   // at most 32 bytes, as task entries take
inline constexpr std::size_t account_home_size = 256;  // a home directory of at most 255 bytes

enum class account_ask : std::uint8_t {
    user_named,      // /etc/passwd: the user of that name
    user_numbered,   // /etc/passwd: the first user with that uid
    group_named,     // /etc/group: the group of that name
    group_numbered,  // /etc/group: the first group with that gid
    groups_of,       // /etc/group: every group that lists the user as a member
};

struct account_search {
    // Asked.
    account_ask ask;
    std::string_view name;  // the user or group by name; the member for groups_of
    std::uint32_t number;   // the uid or gid by number

    // Found: whether an entry answered, and what it holds.  A name or
    // home too long for its field is cut to nothing and said so.
    bool found;
    std::uint32_t id;   // the user's uid or the group's gid
    std::uint32_t gid;  // the user's primary group
    std::array<char, account_name_size> entry_name;
    bool name_too_long;
    std::array<char, account_home_size> home;
    bool home_too_long;
    // groups_of: the gids into groups[cap] (each once), and how many there
    // are, which may be more than cap.
    std::uint32_t* groups;
    std::size_t cap;
    std::size_t count;

    // The line being read.
    std::size_t field;         // counted from 0
    std::size_t length;        // bytes of the field so far
    bool comment;              // a line starting with '#'
    bool bad;                  // not an entry
    bool name_matches;         // the first field is still `name`
    bool member_matches;       // the member being read is still `name`
    bool listed;               // the line lists `name` as a member
    std::uint64_t numbers[2];  // the id fields (uid and gid, or gid)
};

// A search for what is asked, ready for the first piece.
account_search account_lookup(account_ask ask, std::string_view name, std::uint32_t number);
// groups_of: `primary` comes first in groups.
account_search account_groups(std::string_view user, std::uint32_t primary, std::uint32_t* groups,
                              std::size_t cap);

// Reads the next piece of the file; false once the answer is known (the
// rest of the file need not be read).
bool account_read(account_search& search, std::string_view piece);

// The end of the file: a last line without its newline counts.
void account_finish(account_search& search);

}  // namespace vorn
