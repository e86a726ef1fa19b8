// Strict UTF-8 validation: an ASCII fast loop, then the multi-byte rules of RFC 3629.
#include "core/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace nerit::core {
namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the sequence led by `lead`, or 0 for a byte that can never lead one.
std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The second byte's range depends on the lead byte (no overlongs, surrogates or values past
// U+10FFFF); later bytes are plain continuation bytes.
bool second_byte_ok(unsigned char lead, unsigned char c) {
    switch (lead) {
        case 0xE0:
            return c >= 0xA0 && c <= 0xBF;
        case 0xED:
            return c >= 0x80 && c <= 0x9F;
        case 0xF0:
            return c >= 0x90 && c <= 0xBF;
        case 0xF4:
            return c >= 0x80 && c <= 0x8F;
        default:
            return is_continuation(c);
    }
}

}  // namespace

Utf8Check check_utf8(std::string_view bytes, bool final) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Logs are mostly ASCII: test eight bytes at a time for a high bit.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char lead = s[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = sequence_length(lead);
        if (len == 0) return {false, i};
        std::size_t have = n - i;
        std::size_t check = have < len ? have : len;
        if (!final && have == 2 && lead == 0xED && s[i + 1] >= 0xA0 && s[i + 1] <= 0xBF) {
            // The host decoder leaves a cut-off surrogate for the next call to judge.
            return {true, i};
        }
        if (check >= 2 && !second_byte_ok(lead, s[i + 1])) return {false, i};
        for (std::size_t k = 2; k < check; ++k) {
            if (!is_continuation(s[i + k])) return {false, i};
        }
        if (have < len) return final ? Utf8Check{false, i} : Utf8Check{true, i};
        i += len;
    }
    return {true, n};
}

}  // namespace nerit::core
