// Case changes of plain ASCII text, equal to the host's str methods on such text.
#include "core/ascii_case.hpp"

namespace nerit::core {

void capitalize_ascii(const char* text, std::size_t length, char* out) {
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = i == 0 ? ascii_upper(text[i]) : ascii_lower(text[i]);
    }
}

}  // namespace nerit::core
