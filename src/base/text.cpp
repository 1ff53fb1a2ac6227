// Bounded text helpers for the fixed-size fields (see text.hpp).
#include "base/text.hpp"

#include <cstdio>
#include <cstring>

namespace vorn {

bool vformat_text(char* buf, std::size_t size, const char* format, std::va_list args) {
    if (size == 0) return false;
    const int n = std::vsnprintf(buf, size, format, args);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool format_text(char* buf, std::size_t size, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const bool ok = vformat_text(buf, size, format, args);
    va_end(args);
    return ok;
}

bool copy_text(char* buf, std::size_t size, std::string_view text) {
    if (size == 0) return false;
    if (text.size() >= size) {
        buf[0] = '\0';
        return false;
    }
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return true;
}

std::size_t utf8_length(std::string_view text) {
    if (text.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;   // the range of the second byte, which rules
    unsigned char high = 0xbf;  // out overlong forms, surrogates and > U+10FFFF
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    return length;
}

}  // namespace vorn
