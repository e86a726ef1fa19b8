// The structural pass: per 64-byte block, the bytes that matter to a JSON walker as bitmasks,
// and strict UTF-8 validation, with AVX2 (validation by nibble lookups), SSE2 or byte by byte.
#include "core/line_masks.hpp"

#include <cstring>

#include "core/utf8.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace nerit::core {
namespace {

// The bytes after a backslash that no backslash before it escapes, as bits; `carry` says
// whether the block before ended with such a backslash, and is set for the next block.
std::uint64_t escaped_bytes(std::uint64_t backslash, std::uint64_t& carry) noexcept {
    std::uint64_t escaped = carry;
    std::uint64_t escaping = backslash & ~escaped;
    carry = 0;
    while (escaping != 0) {
        const int at = __builtin_ctzll(escaping);
        if (at == 63) {
            carry = 1;
            break;
        }
        escaped |= std::uint64_t{2} << at;
        // The escaped byte, a backslash or not, escapes nothing.
        escaping &= ~(std::uint64_t{3} << at);
    }
    return escaped;
}

// Where the pass writes the masks of each block.
struct MaskOut {
    std::uint64_t* quote;
    std::uint64_t* stop;
};

// The masks of block `b` from its raw bit planes; clears what lies past the line.
void finish_block(const MaskOut& out, std::size_t b, std::uint64_t quote, std::uint64_t backslash,
                  std::uint64_t special, std::uint64_t valid, std::uint64_t& carry) noexcept {
    if ((backslash | carry) != 0) quote &= ~escaped_bytes(backslash, carry);
    out.quote[b] = quote;
    out.stop[b] = (quote | special) & valid;
}

// Bits of the block's bytes that belong to the line.
std::uint64_t valid_bits(std::size_t block, std::size_t size) noexcept {
    const std::size_t left = size - (block << 6);
    return left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
}

bool build_scalar(const unsigned char* p, std::size_t size, std::size_t blocks,
                  const MaskOut& out) noexcept {
    std::uint64_t carry = 0;
    bool any_high = false;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint64_t quote = 0, backslash = 0, special = 0;
        for (unsigned i = 0; i < 64; ++i) {
            const unsigned char c = p[(b << 6) + i];
            const std::uint64_t bit = std::uint64_t{1} << i;
            quote |= c == '"' ? bit : 0;
            backslash |= c == '\\' ? bit : 0;
            special |= c == '\\' || c < 0x20 || c == 0x7F || c == 0xC2 ? bit : 0;
            any_high |= c >= 0x80;
        }
        finish_block(out, b, quote, backslash, special, valid_bits(b, size), carry);
    }
    return !any_high ||
           is_valid_utf8_scalar(std::string_view(reinterpret_cast<const char*>(p), size));
}

#if defined(__SSE2__)

bool build_sse2(const unsigned char* p, std::size_t size, std::size_t blocks,
                const MaskOut& out) noexcept {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i last_c0 = _mm_set1_epi8(0x1F);
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
    std::uint64_t carry = 0;
    std::uint64_t any_high = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint64_t q = 0, bs = 0, special = 0, high = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i x =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (b << 6) + 16 * i));
            auto bits = [i](__m128i m) {
                return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m)))
                       << (16 * i);
            };
            const __m128i is_backslash = _mm_cmpeq_epi8(x, backslash);
            q |= bits(_mm_cmpeq_epi8(x, quote));
            bs |= bits(is_backslash);
            const __m128i c0 = _mm_cmpeq_epi8(_mm_min_epu8(x, last_c0), x);
            special |= bits(_mm_or_si128(
                _mm_or_si128(is_backslash, c0),
                _mm_or_si128(_mm_cmpeq_epi8(x, del), _mm_cmpeq_epi8(x, c2))));
            high |= bits(x);
        }
        any_high |= high;
        finish_block(out, b, q, bs, special, valid_bits(b, size), carry);
    }
    return any_high == 0 || is_valid_utf8(std::string_view(reinterpret_cast<const char*>(p), size));
}

// Strict UTF-8 validation of 32 bytes at a time by three nibble lookups (the error classes of
// each pair of adjacent bytes) and a check that the second to fourth bytes of long sequences
// are continuation bytes.
class Utf8Check {
  public:
    __attribute__((target("avx2"))) Utf8Check() noexcept
        : previous_(_mm256_setzero_si256()),
          incomplete_(_mm256_setzero_si256()),
          error_(_mm256_setzero_si256()) {}

    __attribute__((target("avx2"))) void add(__m256i input, bool ascii) noexcept {
        if (ascii) {
            error_ = _mm256_or_si256(error_, incomplete_);
            incomplete_ = _mm256_setzero_si256();
        } else {
            error_ = _mm256_or_si256(error_, check(input));
            // A sequence still open at the block's end must go on in the next block.
            incomplete_ = _mm256_subs_epu8(input, _mm256_setr_epi8(
                -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1)));
        }
        previous_ = input;
    }

    // A block of ASCII passed over while no sequence was open.
    __attribute__((target("avx2"))) void skip_ascii() noexcept {
        previous_ = _mm256_setzero_si256();
    }

    // Whether the last block added may end inside a sequence; otherwise an ASCII block
    // needs no look.
    __attribute__((target("avx2"))) bool pending() const noexcept {
        return _mm256_testz_si256(incomplete_, incomplete_) == 0;
    }

    __attribute__((target("avx2"))) bool valid() const noexcept {
        const __m256i error = _mm256_or_si256(error_, incomplete_);
        return _mm256_testz_si256(error, error) != 0;
    }

  private:
    // The error classes of a byte pair, one bit each.
    static constexpr char kTooShort = 1 << 0;   // a lead not followed by a continuation
    static constexpr char kTooLong = 1 << 1;    // a continuation after ASCII
    static constexpr char kOverlong3 = 1 << 2;  // E0 80..9F
    static constexpr char kTooLarge = 1 << 3;   // F4 90..BF, F5..FF
    static constexpr char kSurrogate = 1 << 4;  // ED A0..BF
    static constexpr char kOverlong2 = 1 << 5;  // C0, C1
    static constexpr char kTooLarge1000 = 1 << 6;
    static constexpr char kOverlong4 = 1 << 6;  // F0 80..8F
    static constexpr char kTwoConts = static_cast<char>(1 << 7);  // unless in a long sequence
    static constexpr char kCarry = kTooShort | kTooLong | kTwoConts;

    template <int N>
    __attribute__((target("avx2"))) __m256i previous(__m256i input) const noexcept {
        return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous_, input, 0x21),
                                  16 - N);
    }

    __attribute__((target("avx2"))) static __m256i lookup(__m256i nibbles,
                                                          const char (&table)[16]) noexcept {
        const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table));
        return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(half), nibbles);
    }

    __attribute__((target("avx2"))) __m256i check(__m256i input) const noexcept {
        static constexpr char kFirstHigh[16] = {
            kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
            kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
            kTooShort | kOverlong3 | kSurrogate,
            kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
        static constexpr char kFirstLow[16] = {
            kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
            kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000,
            kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
            kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
            kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
            kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
            kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000};
        static constexpr char kSecondHigh[16] = {
            kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
            kTooShort,
            kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
            kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
            kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
            kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort, kTooShort,
            kTooShort, kTooShort};
        const __m256i low_nibble = _mm256_set1_epi8(0x0F);
        const __m256i first = previous<1>(input);
        const __m256i classes = _mm256_and_si256(
            _mm256_and_si256(
                lookup(_mm256_and_si256(_mm256_srli_epi16(first, 4), low_nibble), kFirstHigh),
                lookup(_mm256_and_si256(first, low_nibble), kFirstLow)),
            lookup(_mm256_and_si256(_mm256_srli_epi16(input, 4), low_nibble), kSecondHigh));
        // Third and fourth bytes of long sequences: 0x80 where one is due.
        const __m256i third = _mm256_subs_epu8(previous<2>(input), _mm256_set1_epi8(0xE0 - 0x80));
        const __m256i fourth = _mm256_subs_epu8(previous<3>(input), _mm256_set1_epi8(0xF0 - 0x80));
        const __m256i due = _mm256_and_si256(_mm256_or_si256(third, fourth),
                                             _mm256_set1_epi8(static_cast<char>(0x80)));
        return _mm256_xor_si256(due, classes);
    }

    __m256i previous_;
    __m256i incomplete_;
    __m256i error_;
};

// The top bits of the 64 bytes of two vectors.
__attribute__((target("avx2"))) inline std::uint64_t bits64(__m256i low, __m256i high) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
}

__attribute__((target("avx2"))) bool build_avx2(const unsigned char* p, std::size_t size,
                                                std::size_t blocks, const MaskOut& out) noexcept {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i last_c0 = _mm256_set1_epi8(0x1F);
    const __m256i del = _mm256_set1_epi8(0x7F);
    const __m256i c2 = _mm256_set1_epi8(static_cast<char>(0xC2));
    Utf8Check utf8;
    std::uint64_t carry = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        const auto* at = reinterpret_cast<const __m256i*>(p + (b << 6));
        const __m256i lo = _mm256_loadu_si256(at);
        const __m256i hi = _mm256_loadu_si256(at + 1);
        const __m256i backslash_lo = _mm256_cmpeq_epi8(lo, backslash);
        const __m256i backslash_hi = _mm256_cmpeq_epi8(hi, backslash);
        const __m256i special_lo = _mm256_or_si256(
            _mm256_or_si256(backslash_lo, _mm256_cmpeq_epi8(_mm256_min_epu8(lo, last_c0), lo)),
            _mm256_or_si256(_mm256_cmpeq_epi8(lo, del), _mm256_cmpeq_epi8(lo, c2)));
        const __m256i special_hi = _mm256_or_si256(
            _mm256_or_si256(backslash_hi, _mm256_cmpeq_epi8(_mm256_min_epu8(hi, last_c0), hi)),
            _mm256_or_si256(_mm256_cmpeq_epi8(hi, del), _mm256_cmpeq_epi8(hi, c2)));
        const std::uint64_t high = bits64(lo, hi);
        if (high != 0 || utf8.pending()) {
            utf8.add(lo, static_cast<std::uint32_t>(high) == 0);
            utf8.add(hi, (high >> 32) == 0);
        } else {
            utf8.skip_ascii();
        }
        finish_block(out, b, bits64(_mm256_cmpeq_epi8(lo, quote), _mm256_cmpeq_epi8(hi, quote)),
                     bits64(backslash_lo, backslash_hi), bits64(special_lo, special_hi),
                     valid_bits(b, size), carry);
    }
    return utf8.valid();
}

#endif

}  // namespace

TextFacts text_facts(const char* text, std::size_t size) noexcept {
    TextFacts facts;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned c = p[i];
        facts.raw_control |= c < 0x20;
        facts.backslash |= c == '\\';
        // The bytes are valid UTF-8: a 0xC2 is followed by a continuation byte.
        facts.controls |= c == 0x7F || (c == 0xC2 && p[i + 1] <= 0x9F);
    }
    return facts;
}

VectorLevel best_vector_level() noexcept {
#if defined(__SSE2__)
    static const VectorLevel level = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? VectorLevel::avx2 : VectorLevel::sse2;
    }();
    return level;
#else
    return VectorLevel::scalar;
#endif
}

void LineMasks::reserve(std::size_t size) {
    // A buffer grown for a very long line is given back once lines are short again.
    constexpr std::size_t kKeep = std::size_t{1} << 20;
    if (text_ && size <= capacity_ && (capacity_ <= kKeep || size > kKeep / 2)) return;
    const std::size_t capacity = size < 4096 ? 4096 : size;
    text_.reset(new char[capacity + 64 + kPadding]);
    quote_.reset(new std::uint64_t[capacity / 64 + 2]);
    stop_.reset(new std::uint64_t[capacity / 64 + 2]);
    capacity_ = capacity;
}

bool LineMasks::build(std::string_view line, VectorLevel level) {
    reserve(line.size());
    size_ = line.size();
    block_count_ = (size_ + 63) / 64;
    std::memcpy(text_.get(), line.data(), size_);
    // Zeros up to the end of the last block and kPadding beyond: a fixed size, written inline.
    std::memset(text_.get() + size_, 0, 64 + kPadding);
    quote_[block_count_] = stop_[block_count_] = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text_.get());
    const MaskOut out{quote_.get(), stop_.get()};
    bool valid = false;
    switch (level) {
#if defined(__SSE2__)
        case VectorLevel::avx2:
            if (best_vector_level() == VectorLevel::avx2) {
                valid = build_avx2(p, size_, block_count_, out);
                break;
            }
            [[fallthrough]];
        case VectorLevel::sse2:
            valid = build_sse2(p, size_, block_count_, out);
            break;
#endif
        default:
            valid = build_scalar(p, size_, block_count_, out);
            break;
    }
    // The end of the line stops every walk through a string that has not closed.
    stop_[size_ >> 6] |= std::uint64_t{1} << (size_ & 63);
    return valid;
}

}  // namespace nerit::core
