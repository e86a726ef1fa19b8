// Case changes of plain ASCII text, equal to the host's str methods on such text.
#pragma once

#include <cstddef>

namespace nerit::core {

inline char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}
inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Writes `length` characters of `text` to `out` as the host's str.capitalize does for ASCII
// text: the first character upper case, every following one lower case.
void capitalize_ascii(const char* text, std::size_t length, char* out);

}  // namespace nerit::core
