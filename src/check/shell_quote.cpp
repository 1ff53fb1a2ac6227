// Shell quoting and display escaping of text from files (see
// shell_quote.hpp).
#include "check/shell_quote.hpp"

#include <array>
#include <cstring>

#include "base/text.hpp"

namespace vorn {

namespace {

bool is_plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("@%+=:,./_-", c) != nullptr);
}

// Characters that take no room or change the direction of the text
// around them (the bidirectional marks, embeddings, overrides and
// isolates, the zero-width spaces and joiners, the byte-order mark):
// printed raw, they hide part of a name or make it read as another.
bool reorders_or_hides(unsigned code) {
    return code == 0x061c || (code >= 0x200b && code <= 0x200f) ||
           (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069) ||
           code == 0xfeff;
}

// Length of the well-formed UTF-8 sequence at the start of text that
// stands for a printable character: 1 for a printable ASCII byte, 2 to 4
// for a sequence; 0 when the first byte must be escaped (a control
// character, a C1 control, a character that reorders or hides text, or a
// byte that is not UTF-8).
std::size_t printable_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b = byte(0);
    if (b >= 0x20 && b < 0x7f) return 1;
    std::size_t n = 0;
    unsigned min = 0;
    unsigned code = 0;
    if (b >= 0xc2 && b <= 0xdf) {
        n = 2, min = 0x80, code = b & 0x1fu;
    } else if (b >= 0xe0 && b <= 0xef) {
        n = 3, min = 0x800, code = b & 0x0fu;
    } else if (b >= 0xf0 && b <= 0xf4) {
        n = 4, min = 0x10000, code = b & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xc0u) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3fu);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    if (code < 0xa0 || reorders_or_hides(code)) return 0;  // C1 controls too
    return n;
}

// Appends to buf[size] at *used; false when it does not fit.
struct writer {
    char* buf;
    std::size_t size;
    std::size_t used = 0;
    bool fits = true;

    void put(std::string_view text) {
        if (!fits || used + text.size() >= size) {
            fits = false;
            return;
        }
        if (!text.empty()) std::memcpy(buf + used, text.data(), text.size());
        used += text.size();
        buf[used] = '\0';
    }
    void octal(unsigned char c) {
        const char digits[] = {'\\', static_cast<char>('0' + (c >> 6)),
                               static_cast<char>('0' + ((c >> 3) & 7)),
                               static_cast<char>('0' + (c & 7))};
        put({digits, sizeof(digits)});
    }
    bool done() {
        if (!fits && size > 0) buf[0] = '\0';
        return fits;
    }
};

// Escapes text; `quote` is also escaped (for $'...' quoting) when not '\0'.
void put_escaped(writer& out, std::string_view text, char quote) {
    while (!text.empty()) {
        const std::size_t n = printable_length(text);
        if (n > 0) {
            if (text[0] == '\\' || (quote != '\0' && text[0] == quote)) out.put("\\");
            out.put(head(text, n));
            text.remove_prefix(n);
            continue;
        }
        const char c = text[0];
        if (c == '\n')
            out.put("\\n");
        else if (c == '\t')
            out.put("\\t");
        else if (c == '\r')
            out.put("\\r");
        else
            out.octal(static_cast<unsigned char>(c));
        text.remove_prefix(1);
    }
}

bool needs_escapes(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = printable_length(tail_from(text, i));
        if (n == 0) return true;
        i += n;
    }
    return false;
}

}  // namespace

bool quote_for_shell(char* buf, std::size_t size, std::string_view text) {
    if (size == 0) return false;
    buf[0] = '\0';
    writer out{buf, size};
    bool plain = !text.empty();
    for (char c : text) plain = plain && is_plain(c);
    if (plain) {
        out.put(text);
    } else if (needs_escapes(text)) {
        out.put("$'");
        put_escaped(out, text, '\'');
        out.put("'");
    } else {
        // Inside single quotes only the quote itself needs care: end the
        // quoted part, add an escaped quote, and start a new one.
        out.put("'");
        for (std::size_t start = 0;;) {
            const std::size_t quote = text.find('\'', start);
            out.put(head(tail_from(text, start), quote - start));
            if (quote == std::string_view::npos) break;
            out.put("'\\''");
            start = quote + 1;
        }
        out.put("'");
    }
    return out.done();
}

bool format_command_line(char* buf, std::size_t size, const child_argv& argv, std::size_t count) {
    if (size == 0) return false;
    buf[0] = '\0';
    std::size_t used = 0;
    for (std::size_t i = 0; i < count && i < argv.size() && argv[i]; ++i) {
        if (i > 0) {
            if (used + 1 >= size) {
                buf[0] = '\0';
                return false;
            }
            buf[used++] = ' ';
            buf[used] = '\0';
        }
        if (!quote_for_shell(buf + used, size - used, argv[i])) {
            buf[0] = '\0';
            return false;
        }
        used += std::strlen(buf + used);
    }
    return true;
}

bool escape_for_display(char* buf, std::size_t size, std::string_view text) {
    if (size == 0) return false;
    buf[0] = '\0';
    writer out{buf, size};
    put_escaped(out, text, '\0');
    return out.done();
}

const char* shown(std::string_view text) {
    constexpr std::size_t longest = 1024;
    static std::array<std::array<char, escaped_size(longest)>, 4> buffers{};
    static std::size_t next = 0;
    auto& buf = buffers[next];
    next = (next + 1) % buffers.size();
    escape_for_display(buf.data(), buf.size(), head(text, longest));
    return buf.data();
}

}  // namespace vorn
