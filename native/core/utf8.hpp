// Strict UTF-8 validation, as the host's UTF-8 decoder accepts a whole text.
#pragma once

#include <string_view>

namespace nerit::core {

// True when the host's strict UTF-8 decoder decodes `bytes` as a whole without error: no
// invalid byte, overlong form, surrogate, value past U+10FFFF or sequence cut short by the end.
// Runs of ASCII and of two-byte characters (Cyrillic text) are checked sixteen bytes at a time.
bool is_valid_utf8(std::string_view bytes);

// The same, one character at a time: the fallback without SSE2, and the reference of the tests.
bool is_valid_utf8_scalar(std::string_view bytes);

}  // namespace nerit::core
