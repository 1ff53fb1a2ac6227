// JSON read as it is written (see json_text.hpp).
#include "base/json_text.hpp"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vorn {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_space(std::string_view text, std::size_t at) {
    while (at < text.size() && is_space(text[at])) ++at;
    return at;
}

// Past the closing quote of the string whose opening quote is at `at`.
std::size_t string_end(std::string_view text, std::size_t at) {
    for (++at; at < text.size(); ++at) {
        if (text[at] == '\\')
            ++at;
        else if (text[at] == '"')
            return at + 1;
    }
    return json_nowhere;
}

// Past the object or array whose bracket is at `at`.
std::size_t nested_end(std::string_view text, std::size_t at) {
    std::size_t depth = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '"') {
            at = string_end(text, at);
            if (at == json_nowhere) return at;
            continue;
        }
        if (c == '{' || c == '[') ++depth;
        if ((c == '}' || c == ']') && --depth == 0) return at + 1;
        ++at;
    }
    return json_nowhere;
}

// Past the digits from `at`.
std::size_t digits_end(std::string_view text, std::size_t at) {
    while (at < text.size() && is_digit(text[at])) ++at;
    return at;
}

// Past the number that starts at `at` as JSON writes one (-?int frac? exp?),
// `at` itself when none does; *real when it has a fraction or an exponent.
std::size_t number_end(std::string_view text, std::size_t at, bool* real) {
    *real = false;
    std::size_t end = at;
    if (end < text.size() && text[end] == '-') ++end;
    if (end >= text.size() || !is_digit(text[end])) return at;
    end = text[end] == '0' ? end + 1 : digits_end(text, end);
    if (end + 1 < text.size() && text[end] == '.' && is_digit(text[end + 1])) {
        end = digits_end(text, end + 1);
        *real = true;
    }
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        std::size_t exponent = end + 1;
        if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
        if (exponent < text.size() && is_digit(text[exponent])) {
            end = digits_end(text, exponent);
            *real = true;
        }
    }
    return end;
}

// Whether the number in `number` (NUL-terminated) is one the parser refuses:
// it reads integers with strtoll and reals with strtod, and refuses what
// they call out of range (a real only when it overflows).
bool too_large(const char* number, std::size_t length, bool real) {
    char* end = nullptr;
    errno = 0;
    if (real) {
        const double value = std::strtod(number, &end);
        return end == number + length && errno == ERANGE && std::isinf(value);
    }
    (void)std::strtoll(number, &end, 10);
    return end == number + length && errno == ERANGE;
}

// Decodes the next character of a string's contents at *at into out (its
// UTF-8 bytes): the count, 0 at the closing quote or a fault.
std::size_t decode_hex(std::string_view text, std::size_t at, std::uint32_t* value) {
    if (at + 4 > text.size()) return 0;
    *value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = text[i];
        const int digit = is_digit(c)              ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : -1;
        if (digit < 0) return 0;
        *value = *value * 16 + static_cast<std::uint32_t>(digit);
    }
    return 4;
}

std::size_t utf8_bytes(std::uint32_t code, char out[4]) {
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xc0 | (code >> 6));
        out[1] = static_cast<char>(0x80 | (code & 0x3f));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<char>(0xe0 | (code >> 12));
        out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out[2] = static_cast<char>(0x80 | (code & 0x3f));
        return 3;
    }
    out[0] = static_cast<char>(0xf0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out[3] = static_cast<char>(0x80 | (code & 0x3f));
    return 4;
}

// The escape "\uXXXX", with its low surrogate "\uXXXX" after it when it is
// a high one, at *at (its backslash).
std::size_t decode_unicode(std::string_view text, std::size_t* at, char out[4]) {
    std::uint32_t code = 0;
    if (decode_hex(text, *at + 2, &code) == 0) return 0;
    *at += 6;
    if (code >= 0xd800 && code <= 0xdbff) {
        std::uint32_t low = 0;
        if (*at + 1 >= text.size() || text[*at] != '\\' || text[*at + 1] != 'u' ||
            decode_hex(text, *at + 2, &low) == 0 || low < 0xdc00 || low > 0xdfff)
            return 0;
        *at += 6;
        code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
    }
    return utf8_bytes(code, out);
}

std::size_t decode_next(std::string_view text, std::size_t* at, char out[4]) {
    if (*at >= text.size() || text[*at] == '"') return 0;
    if (text[*at] != '\\') {
        out[0] = text[(*at)++];
        return 1;
    }
    if (*at + 1 >= text.size()) return 0;
    constexpr std::string_view escaped = "\"\\/bfnrt";
    constexpr std::string_view meant = "\"\\/\b\f\n\r\t";
    const std::size_t which = escaped.find(text[*at + 1]);
    if (which != std::string_view::npos) {
        out[0] = meant[which];
        *at += 2;
        return 1;
    }
    return text[*at + 1] == 'u' ? decode_unicode(text, at, out) : 0;
}

}  // namespace

std::size_t json_value_end(std::string_view text, std::size_t at) {
    at = skip_space(text, at);
    if (at >= text.size()) return json_nowhere;
    const char c = text[at];
    if (c == '"') return string_end(text, at);
    if (c == '{' || c == '[') return nested_end(text, at);
    if (c == '}' || c == ']' || c == ',' || c == ':') return json_nowhere;
    while (at < text.size() && !is_space(text[at]) && text[at] != ',' && text[at] != '}' &&
           text[at] != ']')
        ++at;
    return at;
}

bool json_next_member(std::string_view text, std::size_t* next, json_member* member) {
    std::size_t at = skip_space(text, *next);
    if (at >= text.size() || (text[at] != '{' && text[at] != ',')) return false;
    at = skip_space(text, at + 1);
    if (at >= text.size() || text[at] != '"') return false;
    member->key = at;
    at = skip_space(text, string_end(text, at));
    if (at >= text.size() || text[at] != ':') return false;
    member->value = skip_space(text, at + 1);
    const std::size_t end = json_value_end(text, member->value);
    if (end == json_nowhere) return false;
    *next = end;
    return true;
}

bool json_next_element(std::string_view text, std::size_t* next, std::size_t* element) {
    std::size_t at = skip_space(text, *next);
    if (at >= text.size() || (text[at] != '[' && text[at] != ',')) return false;
    at = skip_space(text, at + 1);
    if (at >= text.size() || text[at] == ']') return false;
    const std::size_t end = json_value_end(text, at);
    if (end == json_nowhere) return false;
    *element = at;
    *next = end;
    return true;
}

bool json_string_is(std::string_view text, std::size_t at, std::string_view key) {
    if (at >= text.size() || text[at] != '"') return false;
    ++at;
    std::size_t matched = 0;
    for (;;) {
        std::array<char, 4> bytes{};
        const std::size_t n = decode_next(text, &at, bytes.data());
        if (n == 0) break;
        if (matched + n > key.size() || std::memcmp(key.data() + matched, bytes.data(), n) != 0)
            return false;
        matched += n;
    }
    return matched == key.size() && at < text.size() && text[at] == '"';
}

std::size_t json_key_count(std::string_view text, std::size_t object, std::string_view key) {
    std::size_t count = 0;
    json_member member{};
    for (std::size_t next = object; json_next_member(text, &next, &member);)
        count += json_string_is(text, member.key, key) ? 1 : 0;
    return count;
}

std::size_t json_last_value(std::string_view text, std::size_t object, std::string_view key) {
    std::size_t found = json_nowhere;
    json_member member{};
    for (std::size_t next = object; json_next_member(text, &next, &member);)
        if (json_string_is(text, member.key, key)) found = member.value;
    return found;
}

std::size_t json_wrap_large_numbers(std::string_view text, char* out, std::size_t cap,
                                    std::size_t* count) {
    *count = 0;
    std::size_t used = 0;
    const auto put = [&](std::string_view piece) {
        if (used + piece.size() >= cap) return false;  // a byte stays for the terminator
        std::memcpy(out + used, piece.data(), piece.size());
        used += piece.size();
        return true;
    };
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = at + 1;
        bool real = false;
        if (text[at] == '"') {
            end = string_end(text, at);
            if (end == json_nowhere) end = text.size();
        } else if (text[at] == '-' || is_digit(text[at])) {
            end = number_end(text, at, &real);
            if (end == at) end = at + 1;
        }
        const std::string_view piece(text.data() + at, end - at);
        const std::size_t start = used;
        if (!put(piece)) return 0;
        out[used] = '\0';
        if (end > at + 1 && !piece.empty() && piece.front() != '"' &&
            too_large(out + start, piece.size(), real)) {
            used = start;
            if (!put(json_wrap_head) || !put(piece) || !put(json_wrap_tail)) return 0;
            ++*count;
        }
        at = end;
    }
    out[used] = '\0';
    return used;
}

json_text_place json_place_in_text(std::string_view text, std::string_view copy,
                                   std::size_t copy_offset) {
    // The two differ only where a number is wrapped: the copy has the
    // wrapping's '{' where the text has the number's first byte.
    const std::size_t wrapping = json_wrap_growth;
    std::size_t at = 0, in_copy = 0;
    long growth = 0;
    while (in_copy < copy_offset && at < text.size() && in_copy < copy.size()) {
        if (text[at] == copy[in_copy]) {
            if (text[at] == '\n') growth = 0;
            ++at;
            ++in_copy;
            continue;
        }
        bool real = false;
        const std::size_t length = number_end(text, at, &real) - at;
        if (length == 0) break;  // not a wrapped number: not a copy of this text
        const std::size_t wrapped = length + wrapping;
        if (copy_offset < in_copy + wrapped) {
            const auto inside = static_cast<long>(copy_offset - in_copy);
            return {at + length, growth + inside - static_cast<long>(length), length};
        }
        at += length;
        in_copy += wrapped;
        growth += static_cast<long>(wrapping);
    }
    return {at, growth, 0};
}

}  // namespace vorn
