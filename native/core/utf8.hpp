// Strict UTF-8 validation with the incremental semantics of the host's UTF-8 decoder.
#pragma once

#include <cstddef>
#include <string_view>

namespace nerit::core {

struct Utf8Check {
    bool valid;            // false: the host's strict decoder raises on this input
    std::size_t consumed;  // when valid: bytes that decode now; the rest is an unfinished sequence
};

// Validates `bytes` as the host's strict UTF-8 decoder does when fed them in one call. With
// `final` false a sequence cut short by the end of the input (every byte present so far being
// acceptable) is left undecoded for the next call, as an incremental decoder keeps it; with
// `final` true such a sequence is an error.
Utf8Check check_utf8(std::string_view bytes, bool final);

}  // namespace nerit::core
