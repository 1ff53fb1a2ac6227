// Bounded text helpers for the fixed-size fields of the supervisor.
//
// Every setting, task field and path buffer in this program is a fixed
// array of char holding a NUL-terminated string.  These helpers write into
// such arrays without ever going past their end and tell the caller when a
// value did not fit, so that nothing is silently cut short.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <string_view>

namespace vorn {

// printf-style formatting into buf[size].  Returns true when the whole
// result fitted (with its terminator); on truncation or a formatting error
// the buffer holds an empty string and false is returned.
bool format_text(char* buf, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool vformat_text(char* buf, std::size_t size, const char* format, std::va_list args)
    __attribute__((format(printf, 3, 0)));

// Copies text into buf[size].  Returns false (leaving buf empty) when the
// text does not fit together with its terminator.
bool copy_text(char* buf, std::size_t size, std::string_view text);

template <std::size_t N>
bool copy_text(std::array<char, N>& buf, std::string_view text) {
    return copy_text(buf.data(), N, text);
}

// Length of the NUL-terminated string in a field, never reading past it.
template <std::size_t N>
std::size_t text_length(const std::array<char, N>& buf) {
    std::size_t n = 0;
    while (n < N && buf[n] != '\0') ++n;
    return n;
}

template <std::size_t N>
std::string_view text_view(const std::array<char, N>& buf) {
    return {buf.data(), text_length(buf)};
}

// Parts of a text that, unlike string_view::substr, never throw (the
// programs are built without exceptions and without the C++ runtime
// library): at most the first n bytes, and everything from pos on ("" when
// pos lies past the end).
constexpr std::string_view head(std::string_view text, std::size_t n) {
    return {text.data(), n < text.size() ? n : text.size()};
}
constexpr std::string_view tail_from(std::string_view text, std::size_t pos) {
    if (pos > text.size()) pos = text.size();
    return {text.data() + pos, text.size() - pos};
}

// Length of the well-formed UTF-8 character at the start of text (1 to 4
// bytes), or 0 when text is empty or does not begin with one: a stray
// continuation byte, an overlong form, a surrogate or a value past U+10FFFF.
std::size_t utf8_length(std::string_view text);

template <std::size_t N>
bool is_empty(const std::array<char, N>& buf) {
    return buf[0] == '\0';
}

}  // namespace vorn
