// Strict UTF-8 validation: SSE2 blocks for ASCII and two-byte text, the rules of RFC 3629 for
// everything else.
#include "core/utf8.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nerit::core {
namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the valid sequence at `s[i]`, or 0 when none starts there.
std::size_t sequence_at(const unsigned char* s, std::size_t n, std::size_t i) {
    unsigned char lead = s[i];
    if (lead < 0x80) return 1;
    std::size_t len;
    unsigned char low = 0x80;  // range of the second byte: no overlongs, surrogates or
    unsigned char high = 0xBF;  // values past U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (n - i < len) return 0;
    if (s[i + 1] < low || s[i + 1] > high) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if (!is_continuation(s[i + k])) return 0;
    }
    return len;
}

// Checks whole sequences from `i` until at least `stop`; returns where it stopped, or `n + 1`
// when a sequence is invalid.
std::size_t check_scalar(const unsigned char* s, std::size_t n, std::size_t i, std::size_t stop) {
    while (i < stop) {
        std::size_t len = sequence_at(s, n, i);
        if (len == 0) return n + 1;
        i += len;
    }
    return i;
}

}  // namespace

bool is_valid_utf8_scalar(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    return check_scalar(s, bytes.size(), 0, bytes.size()) == bytes.size();
}

#if defined(__SSE2__)

bool is_valid_utf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    // As signed bytes, continuation bytes 0x80-0xBF are -128..-65 and the leads of two-byte
    // sequences 0xC2-0xDF are -62..-33.
    const __m128i below_c0 = _mm_set1_epi8(static_cast<char>(0xC0));
    const __m128i above_c1 = _mm_set1_epi8(static_cast<char>(0xC1));
    const __m128i below_e0 = _mm_set1_epi8(static_cast<char>(0xE0));
    std::size_t i = 0;
    unsigned carry = 0;  // 1 when the block before ended with a two-byte lead
    while (i + 16 <= n) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (high == 0 && carry == 0) {
            i += 16;
            continue;
        }
        auto continuation = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_c0)));
        auto lead = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpgt_epi8(v, above_c1), _mm_cmplt_epi8(v, below_e0))));
        if ((continuation | lead) == high && continuation == (((lead << 1) | carry) & 0xFFFF)) {
            carry = lead >> 15;
            i += 16;
            continue;
        }
        // Three- and four-byte characters, or an error: character by character through this
        // block, starting at the lead carried over from the block before.
        i = check_scalar(s, n, carry ? i - 1 : i, i + 16);
        if (i > n) return false;
        carry = 0;
    }
    return check_scalar(s, n, carry ? i - 1 : i, n) == n;
}

#else

bool is_valid_utf8(std::string_view bytes) {
    return is_valid_utf8_scalar(bytes);
}

#endif

}  // namespace nerit::core
