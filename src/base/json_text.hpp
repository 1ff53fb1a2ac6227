// JSON read as it is written, beside the parser, for what the parser does
// not keep: a key given twice in one object (the parser keeps the last),
// and numbers too large for it (it refuses the whole text for one).
//
// Every function here reads the text through bounds checks only: it is
// meant for text the parser has accepted, and on any other it answers
// "nothing found" rather than read past the end.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorn {

inline constexpr std::size_t json_nowhere = static_cast<std::size_t>(-1);

// Past the value that starts at `at` (after any white space): a string, a
// number, true, false, null, or a whole object or array.  json_nowhere
// when the text ends first.
std::size_t json_value_end(std::string_view text, std::size_t at);

// A member of an object as written: where its key (the opening quote) and
// its value start.
struct json_member {
    std::size_t key;
    std::size_t value;
};

// The members of an object one by one: *next starts at the object's '{'
// and moves past each member found.  False when there is none left.
bool json_next_member(std::string_view text, std::size_t* next, json_member* member);

// The elements of an array likewise: *next starts at its '['; *element is
// where each value starts.
bool json_next_element(std::string_view text, std::size_t* next, std::size_t* element);

// Whether the string at `at` (its opening quote), its escapes decoded
// ("\u0075ser" is "user"), is `key`.
bool json_string_is(std::string_view text, std::size_t at, std::string_view key);

// How many members of the object at `object` are named `key`, and where
// the value of the last of them starts (json_nowhere when none is), the
// one the parser keeps.
std::size_t json_key_count(std::string_view text, std::size_t object, std::string_view key);
std::size_t json_last_value(std::string_view text, std::size_t object, std::string_view key);

// Numbers the parser refuses: an integer outside -2^63..2^63-1, a real
// whose magnitude is past the largest double.  Each such number outside
// strings is copied as the object {"":"<the number as written>"}, a
// value that no key taking a number or a string accepts, so that the copy
// parses and only what holds such a number is refused.  The rest is copied
// as it is.  The copy's length, or 0 when out[cap] cannot hold it
// (json_wrapped_size is always enough); *count the numbers so written.
inline constexpr char json_wrap_head[] = "{\"\":\"";
inline constexpr char json_wrap_tail[] = "\"}";
inline constexpr std::size_t json_wrap_growth = sizeof json_wrap_head + sizeof json_wrap_tail - 2;
// Such a number takes at least 5 bytes ("1e309") and one more before the
// next; a byte more for the copy's work.
constexpr std::size_t json_wrapped_size(std::size_t text_size) {
    return text_size + json_wrap_growth * (text_size / 6 + 1) + 1;
}
std::size_t json_wrap_large_numbers(std::string_view text, char* out, std::size_t cap,
                                    std::size_t* count);

// An offset of the copy made of `text`, as an offset of the text itself,
// and how many more bytes the copy's line holds before it than the text's
// (the column the parser gives there, less those, is the column in the
// text).  A place within a wrapped number is the end of the number, where
// the parser would have been once it had read it; `number` is then the
// number's length.
struct json_text_place {
    std::size_t offset;
    long line_growth;
    std::size_t number;
};
json_text_place json_place_in_text(std::string_view text, std::string_view copy,
                                   std::size_t copy_offset);

}  // namespace vorn
