// Case changes of plain ASCII text, equal to the host's str methods on such text.
#include "core/ascii_case.hpp"

namespace nerit::core {
namespace {

char to_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}
char to_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

}  // namespace

void capitalize_ascii(const char* text, std::size_t length, char* out) {
    for (std::size_t i = 0; i < length; ++i)
        out[i] = i == 0 ? to_upper(text[i]) : to_lower(text[i]);
}

}  // namespace nerit::core
