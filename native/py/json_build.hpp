// JSON decoding into Python objects, equal to the host's json.loads on the texts it accepts.
#pragma once

#include <string_view>

#include "py/ref.hpp"

namespace nerit::py {

// Decodes one JSON document given as UTF-8 (already known to be valid UTF-8) exactly as the
// host's json.loads would decode the same text. Returns the value. Returns an empty Ref with no
// Python error set when the text is invalid or unusual (the caller then calls the host's
// json.loads, which raises or decodes as it will); an empty Ref with an error set means the
// decoder itself failed (out of memory).
Ref json_decode_fast(std::string_view utf8_text);

}  // namespace nerit::py
