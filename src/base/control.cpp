// The control channel's requests (see control.hpp).
#include "base/control.hpp"

#include <csignal>
#include <cstring>
#include <sys/un.h>

#include "base/text.hpp"

namespace vorn {

namespace {

enum class argument_kind : std::uint8_t { none, grace, signal };

struct verb_row {
    const char* name;
    control_verb verb;
    bool takes_name;
    argument_kind argument;
    bool argument_needed;
};

constexpr verb_row verbs[] = {
    {"restart", control_verb::restart, true, argument_kind::grace, false},
    {"stop", control_verb::stop, true, argument_kind::grace, false},
    {"start", control_verb::start, true, argument_kind::none, false},
    {"signal", control_verb::signal, true, argument_kind::signal, true},
    {"reload", control_verb::reload, false, argument_kind::none, false},
};

struct signal_row {
    const char* name;
    int number;
};

constexpr signal_row signals[] = {
    {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"USR1", SIGUSR1},
    {"USR2", SIGUSR2}, {"TERM", SIGTERM}, {"KILL", SIGKILL}, {"CONT", SIGCONT},
};

// The words of the line, each non-empty; false when two spaces meet, the
// line begins or ends with one, or it has more words than any request.
bool split_words(std::string_view line, std::string_view* words, std::size_t& count) {
    count = 0;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        const std::string_view word = head(line, space);
        if (word.empty() || count == control_words_max) return false;
        words[count++] = word;
        if (space == std::string_view::npos) return true;
        line = tail_from(line, space + 1);
        if (line.empty()) return false;  // a space at the end
    }
    return true;
}

bool plain_bytes(std::string_view line) {
    for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

bool parse_grace(std::string_view word, std::uint32_t& grace_ms) {
    if (word.empty() || word.size() > 6) return false;
    std::uint32_t value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > max_grace_ms) return false;
    grace_ms = value;
    return true;
}

bool parse_signal(std::string_view word, int& number) {
    if (word.starts_with("SIG")) word = tail_from(word, 3);
    for (const signal_row& row : signals)
        if (word == row.name) {
            number = row.number;
            return true;
        }
    return false;
}

const verb_row* find_verb(std::string_view word) {
    for (const verb_row& row : verbs)
        if (word == row.name) return &row;
    return nullptr;
}

bool refuse(char* why, std::size_t size, const char* text) {
    format_text(why, size, "%s", text);
    return false;
}

// before, the word, after: the word is the operator's own, its first bytes
// only, so that the reason always fits a buffer of control_why_size.
bool refuse(char* why, std::size_t size, const char* before, std::string_view word,
            const char* after) {
    constexpr std::size_t shown = 32;
    const bool cut = word.size() > shown;
    format_text(why, size, "%s%.*s%s%s", before, static_cast<int>(cut ? shown : word.size()),
                word.data(), cut ? "..." : "", after);
    return false;
}

// The words after the verb, as the row asks for them.
bool parse_operands(const verb_row& row, const std::string_view* words, std::size_t count,
                    control_request& request, char* why, std::size_t size) {
    const std::size_t most = 1 + (row.takes_name ? 1 : 0) + (row.argument != argument_kind::none);
    static constexpr char signal_list[] = "HUP, INT, QUIT, USR1, USR2, TERM, KILL or CONT";
    if (count > most) return refuse(why, size, "", words[0], " takes fewer words");
    if (!row.takes_name) return true;
    if (count < 2 || words[1].empty())
        return refuse(why, size, "", words[0], " needs the name of a task");
    if (!copy_text(request.name, words[1]))
        return refuse(why, size, "a task's name holds at most 63 bytes");
    if (count < 3) {
        if (!row.argument_needed) return true;
        format_text(why, size, "%s needs a signal: %s", row.name, signal_list);
        return false;
    }
    if (row.argument == argument_kind::signal && !parse_signal(words[2], request.signal_number)) {
        refuse(why, size, "\"", words[2], "\" is not a signal that can be sent: give ");
        const std::size_t used = std::strlen(why);
        format_text(why + used, size - used, "%s", signal_list);
        return false;
    }
    if (row.argument == argument_kind::grace && !parse_grace(words[2], request.grace_ms))
        return refuse(why, size, "\"", words[2],
                      "\" is not a grace: give milliseconds from 0 to 600000");
    return true;
}

// Bytes that a name never shows as they are in a request.
bool written_escaped(unsigned char c) { return c <= ' ' || c == 0x7f || c == '\\'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte written as \xHH at the front of text, or -1.
int escaped_byte(std::string_view text) {
    if (text.size() < 4 || text[1] != 'x') return -1;
    const int high = hex_value(text[2]);
    const int low = hex_value(text[3]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// A name that does not fit or is not well written: buf empty, false.
bool no_name(char* buf, std::size_t size) {
    if (size > 0) buf[0] = '\0';
    return false;
}

}  // namespace

bool write_control_name(std::string_view name, char* buf, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::size_t used = 0;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool escaped = written_escaped(byte);
        if (used + (escaped ? 4 : 1) >= size) return no_name(buf, size);
        if (!escaped) {
            buf[used++] = c;
            continue;
        }
        for (const char e : {'\\', 'x', digits[byte >> 4], digits[byte & 0xf]}) buf[used++] = e;
    }
    if (size == 0) return false;
    buf[used] = '\0';
    return true;
}

bool read_control_name(std::string_view written, char* buf, std::size_t size) {
    std::size_t used = 0;
    for (std::string_view rest = written; !rest.empty();) {
        const bool escaped = rest[0] == '\\';
        const int byte = escaped ? escaped_byte(rest) : static_cast<unsigned char>(rest[0]);
        if (byte <= 0 || used + 1 >= size) return no_name(buf, size);
        buf[used++] = static_cast<char>(byte);
        rest = tail_from(rest, escaped ? 4 : 1);
    }
    if (size == 0) return false;
    buf[used] = '\0';
    return true;
}

bool control_request_of(const std::string_view* words, std::size_t count, control_request& request,
                        char* why, std::size_t why_size) {
    request = control_request{control_verb::reload, {}, default_grace_ms, 0};
    if (why_size > 0) why[0] = '\0';
    if (count == 0)
        return refuse(why, why_size, "give a verb and its words, one space between each");
    const verb_row* row = find_verb(words[0]);
    if (row == nullptr)
        return refuse(why, why_size, "unknown verb \"", words[0],
                      "\": give restart, stop, start, signal or reload");
    request.verb = row->verb;
    return parse_operands(*row, words, count, request, why, why_size);
}

bool parse_control_request(std::string_view line, control_request& request, char* why,
                           std::size_t why_size) {
    request = control_request{control_verb::reload, {}, default_grace_ms, 0};
    if (why_size > 0) why[0] = '\0';
    if (line.size() >= control_request_max) {
        format_text(why, why_size, "the request is longer than %zu bytes", control_request_max - 1);
        return false;
    }
    if (!plain_bytes(line)) return refuse(why, why_size, "the request holds a control character");
    std::string_view words[control_words_max];
    std::size_t count = 0;
    if (!split_words(line, words, count) || count == 0)
        return refuse(why, why_size, "give a verb and its words, one space between each");
    // The name as it was before it was written for the line.
    std::array<char, control_request_max> name{};
    const verb_row* row = find_verb(words[0]);
    if (row != nullptr && row->takes_name && count >= 2) {
        if (!read_control_name(words[1], name.data(), name.size()))
            return refuse(why, why_size,
                          "a '\\' in a name begins \\xHH, the hex value of a byte "
                          "other than 00");
        words[1] = text_view(name);
    }
    return control_request_of(words, count, request, why, why_size);
}

std::size_t format_control_request(const control_request& request, char* buf, std::size_t size) {
    const char* verb = control_verb_name(request.verb);
    std::array<char, control_name_written_max + 1> name{};
    if (!write_control_name(text_view(request.name), name.data(), name.size())) return 0;
    bool ok = false;
    switch (request.verb) {
        case control_verb::reload: ok = format_text(buf, size, "%s\n", verb); break;
        case control_verb::start: ok = format_text(buf, size, "%s %s\n", verb, name.data()); break;
        case control_verb::signal:
            ok = format_text(buf, size, "%s %s %s\n", verb, name.data(),
                             control_signal_name(request.signal_number));
            break;
        default:
            ok = format_text(buf, size, "%s %s %u\n", verb, name.data(), request.grace_ms);
            break;
    }
    return ok && std::strlen(buf) <= control_request_max ? std::strlen(buf) : 0;
}

const char* control_verb_name(control_verb verb) {
    for (const verb_row& row : verbs)
        if (row.verb == verb) return row.name;
    return "?";
}

const char* control_signal_name(int signal_number) {
    for (const signal_row& row : signals)
        if (row.number == signal_number) return row.name;
    return "?";
}

bool control_channel_path(const char* status_path, char* buf, std::size_t size) {
    if (!format_text(buf, size, "%s%s", status_path, control_suffix)) return false;
    if (std::strlen(buf) < sizeof(sockaddr_un::sun_path)) return true;
    buf[0] = '\0';
    return false;
}

}  // namespace vorn
