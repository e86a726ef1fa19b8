// Escaping of control characters in untrusted text; the glue hands in the host string's units.
#include "core/control_escape.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nerit::core {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Position of the first control character in `text` from `from` on, one unit at a time.
template <class Unit>
std::size_t find_control_scalar(std::span<const Unit> text, std::size_t from) noexcept {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (is_escaped_control(static_cast<std::uint32_t>(text[i]))) return i;
    }
    return text.size();
}

#if defined(__SSE2__)
// Sixteen one-byte units: a mask with a bit set for each control character.
inline int control_mask(__m128i units) noexcept {
    const __m128i below_space = _mm_cmpeq_epi8(_mm_min_epu8(units, _mm_set1_epi8(0x1F)), units);
    const __m128i tab = _mm_cmpeq_epi8(units, _mm_set1_epi8(0x09));
    // DEL and C1 (0x7F..0x9F) are the units u with (u - 0x7F) mod 256 <= 0x20.
    const __m128i shifted = _mm_sub_epi8(units, _mm_set1_epi8(0x7F));
    const __m128i del_or_c1 = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(0x20)), shifted);
    return _mm_movemask_epi8(_mm_or_si128(_mm_andnot_si128(tab, below_space), del_or_c1));
}

// Eight two-byte units, compared as signed after moving the unsigned range down by 0x8000.
inline int control_mask(__m128i units, std::uint16_t) noexcept {
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i biased = _mm_xor_si128(units, bias);
    const __m128i below_space =
        _mm_cmplt_epi16(biased, _mm_set1_epi16(static_cast<short>(0x20 ^ 0x8000)));
    const __m128i tab = _mm_cmpeq_epi16(units, _mm_set1_epi16(0x09));
    const __m128i shifted = _mm_xor_si128(_mm_sub_epi16(units, _mm_set1_epi16(0x7F)), bias);
    const __m128i del_or_c1 =
        _mm_cmplt_epi16(shifted, _mm_set1_epi16(static_cast<short>(0x21 ^ 0x8000)));
    return _mm_movemask_epi8(_mm_or_si128(_mm_andnot_si128(tab, below_space), del_or_c1));
}

// Whole 16-byte blocks with one test each; the last block overlaps the one before it rather
// than leaving a tail, and a block that hits is searched unit by unit.
// Sixteen lanes made of two overlapping 8-byte loads (the first and the last 8 bytes of a text of
// 8 to 16 bytes); returns the byte offset of the first control character, or `bytes`.
inline std::size_t find_in_two_halves(const char* data, std::size_t bytes, bool wide) noexcept {
    const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(data));
    const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(data + bytes - 8));
    const __m128i units = _mm_unpacklo_epi64(low, high);
    const int mask = wide ? control_mask(units, std::uint16_t{}) : control_mask(units);
    if (mask == 0) return bytes;
    const auto lane = static_cast<std::size_t>(__builtin_ctz(mask));
    return lane < 8 ? lane : bytes - 16 + lane;
}

template <class Unit>
std::size_t find_control_blocks(std::span<const Unit> text) noexcept {
    constexpr std::size_t kPerBlock = 16 / sizeof(Unit);
    const std::size_t size = text.size();
    if (size < kPerBlock) {
        // Short texts (most event values) still take one vector test when they fill 8 bytes.
        const std::size_t bytes = size * sizeof(Unit);
        if (bytes < 8) return find_control_scalar(text, 0);
        const char* data = reinterpret_cast<const char*>(text.data());
        return find_in_two_halves(data, bytes, sizeof(Unit) == 2) / sizeof(Unit);
    }
    for (std::size_t i = 0;; i += kPerBlock) {
        if (i + kPerBlock > size) i = size - kPerBlock;
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const int mask = sizeof(Unit) == 1 ? control_mask(units) : control_mask(units, Unit{});
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask)) / sizeof(Unit);
        if (i + kPerBlock == size) return size;
    }
}
#endif

}  // namespace

template <class Unit>
std::size_t find_control(std::span<const Unit> text) noexcept {
#if defined(__SSE2__)
    // Event texts are mostly short and clean; one vector test covers sixteen bytes of them.
    if constexpr (sizeof(Unit) <= 2) return find_control_blocks(text);
#endif
    // Fixed-size blocks with a branch-free test let the compiler use vector compares; the
    // exact position is looked for only in a block that hit.
    constexpr std::size_t kBlock = 16;
    std::size_t i = 0;
    for (; i + kBlock <= text.size(); i += kBlock) {
        bool hit = false;
        for (std::size_t j = 0; j < kBlock; ++j) {
            hit |= is_escaped_control(static_cast<std::uint32_t>(text[i + j]));
        }
        if (hit) break;
    }
    return find_control_scalar(text, i);
}

template <class Unit>
std::vector<Unit> escape_controls(std::span<const Unit> text, std::size_t first) {
    std::vector<Unit> out;
    first = std::min(first, text.size());
    // Each escape grows the text by three units; reserve for a few of them up front.
    out.reserve(text.size() + 12);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(first));
    for (std::size_t i = first; i < text.size(); ++i) {
        const auto code_point = static_cast<std::uint32_t>(text[i]);
        if (!is_escaped_control(code_point)) {
            out.push_back(text[i]);
            continue;
        }
        out.push_back(static_cast<Unit>('\\'));
        out.push_back(static_cast<Unit>('x'));
        out.push_back(static_cast<Unit>(kHexDigits[(code_point >> 4) & 0xF]));
        out.push_back(static_cast<Unit>(kHexDigits[code_point & 0xF]));
    }
    return out;
}

template std::size_t find_control<std::uint8_t>(std::span<const std::uint8_t>) noexcept;
template std::size_t find_control<std::uint16_t>(std::span<const std::uint16_t>) noexcept;
template std::size_t find_control<std::uint32_t>(std::span<const std::uint32_t>) noexcept;
template std::vector<std::uint8_t> escape_controls<std::uint8_t>(std::span<const std::uint8_t>,
                                                                 std::size_t);
template std::vector<std::uint16_t> escape_controls<std::uint16_t>(std::span<const std::uint16_t>,
                                                                   std::size_t);
template std::vector<std::uint32_t> escape_controls<std::uint32_t>(std::span<const std::uint32_t>,
                                                                   std::size_t);

}  // namespace nerit::core
