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

}  // namespace vorn
