// Users and groups from the text of /etc/passwd and /etc/group (see
// accounts.hpp).
#include "base/accounts.hpp"

namespace vorn {

namespace {

constexpr std::uint64_t id_max = 4294967294;  // (uid_t)-1 means "no change" to setuid

bool of_users(const account_search& s) {
    return s.ask == account_ask::user_named || s.ask == account_ask::user_numbered;
}

// The last field of a line takes any ':' after it as its own.
std::size_t last_field(const account_search& s) { return of_users(s) ? 6 : 3; }

void start_line(account_search& s) {
    s.field = 0;
    s.length = 0;
    s.comment = s.bad = s.listed = false;
    s.name_matches = s.member_matches = true;
    s.numbers[0] = s.numbers[1] = 0;
    s.entry_name[0] = '\0';
    s.name_too_long = false;
    s.home[0] = '\0';
    s.home_too_long = false;
}

// Which of numbers[] the field holds, -1 for none.
int number_field(const account_search& s) {
    if (s.field == 2) return 0;
    return s.field == 3 && of_users(s) ? 1 : -1;
}

// Appends c to a field of fixed size, or says it does not fit.
template <std::size_t N>
void keep(std::array<char, N>& field, std::size_t length, char c, bool* too_long) {
    if (*too_long) return;
    if (length + 1 >= N) {
        *too_long = true;
        field[0] = '\0';
        return;
    }
    field[length] = c;
    field[length + 1] = '\0';
}

// The end of one member of a group's list.
void end_member(account_search& s) {
    if (s.member_matches && s.length == s.name.size() && s.length > 0) s.listed = true;
    s.member_matches = true;
    s.length = 0;
}

void take_byte(account_search& s, char c) {
    if (s.field == 3 && !of_users(s) && c == ',') return end_member(s);
    const int number = number_field(s);
    if (number >= 0) {
        if (c < '0' || c > '9') {
            s.bad = true;
            return;
        }
        auto& value = s.numbers[number];
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > id_max) s.bad = true;
    } else if (s.field == 0) {
        s.name_matches = s.name_matches && s.length < s.name.size() && s.name[s.length] == c;
        keep(s.entry_name, s.length, c, &s.name_too_long);
    } else if (s.field == 5 && of_users(s)) {
        keep(s.home, s.length, c, &s.home_too_long);
    } else if (s.field == 3) {
        s.member_matches = s.member_matches && s.length < s.name.size() && s.name[s.length] == c;
    }
    ++s.length;
}

// The end of a field: the name must be there, a number must have digits.
void end_field(account_search& s) {
    if (s.field == 0) {
        s.name_matches = s.name_matches && s.length == s.name.size();
        if (s.length == 0) s.bad = true;
    }
    if (number_field(s) >= 0 && s.length == 0) s.bad = true;
}

void add_group(account_search& s, std::uint32_t gid) {
    for (std::size_t i = 0; i < s.count && i < s.cap; ++i)
        if (s.groups[i] == gid) return;
    if (s.count < s.cap) s.groups[s.count] = gid;
    ++s.count;
}

void end_line(account_search& s) {
    if (s.comment || (s.field == 0 && s.length == 0)) return;
    end_field(s);
    if (s.field == 3 && !of_users(s)) end_member(s);
    if (s.bad || s.field < last_field(s)) return;
    const auto id = static_cast<std::uint32_t>(s.numbers[0]);
    bool answers = false;
    switch (s.ask) {
        case account_ask::user_named:
        case account_ask::group_named: answers = s.name_matches; break;
        case account_ask::user_numbered:
        case account_ask::group_numbered: answers = id == s.number; break;
        case account_ask::groups_of:
            if (s.listed) add_group(s, id);
            return;
    }
    if (!answers) return;
    s.found = true;
    s.id = id;
    s.gid = static_cast<std::uint32_t>(s.numbers[1]);
}

}  // namespace

account_search account_lookup(account_ask ask, std::string_view name, std::uint32_t number) {
    account_search s{};
    s.ask = ask;
    s.name = name;
    s.number = number;
    start_line(s);
    return s;
}

account_search account_groups(std::string_view user, std::uint32_t primary, std::uint32_t* groups,
                              std::size_t cap) {
    account_search s = account_lookup(account_ask::groups_of, user, 0);
    s.groups = groups;
    s.cap = cap;
    add_group(s, primary);
    return s;
}

bool account_read(account_search& s, std::string_view piece) {
    if (s.found) return false;
    for (const char c : piece) {
        if (c == '\n') {
            end_line(s);
            if (s.found) return false;
            start_line(s);
            continue;
        }
        if (s.comment || s.bad) continue;
        if (c == '\0') {
            s.bad = true;
        } else if (s.field == 0 && s.length == 0 && c == '#') {
            s.comment = true;
        } else if (c == ':' && s.field < last_field(s)) {
            end_field(s);
            ++s.field;
            s.length = 0;
        } else {
            take_byte(s, c);
        }
    }
    return true;
}

void account_finish(account_search& s) {
    if (!s.found) end_line(s);
}

}  // namespace vorn
