// JSON scanner with the grammar of the host's default decoder; hands values to a builder.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nerit::core::json {

// Nesting beyond this is declined: far below the depth at which the host decoder could run out
// of recursion, so the host's own error for deep nesting stays the host's.
inline constexpr int kMaxDepth = 64;

// Integers of more digits are declined; up to this many always fit an int64.
inline constexpr std::size_t kMaxIntegerDigits = 18;

enum class ScanResult {
    ok,
    declined,        // invalid, or valid but not decoded here: the caller asks the host
    builder_failed,  // the builder refused a value (its own error state says why)
};

// Narrowest storage class that holds every code point of a string.
enum class Width : std::uint8_t { ascii, latin1, ucs2, ucs4 };

inline Width width_of(char32_t code_point) {
    if (code_point < 0x80) return Width::ascii;
    if (code_point < 0x100) return Width::latin1;
    if (code_point < 0x10000) return Width::ucs2;
    return Width::ucs4;
}

// One JSON string as the scanner found it. Without escapes it is the raw bytes between the
// quotes, checked to be valid UTF-8 without surrogates; with escapes it is decoded into code
// points (lone surrogates from \u escapes kept as they are), held by the scanner until it scans
// the next string. `length` counts code points.
struct StringPiece {
    std::string_view utf8;                  // the raw bytes, when not escaped
    std::span<const char32_t> code_points;  // the decoded text, when escaped
    bool escaped = false;
    Width width = Width::ascii;
    std::size_t length = 0;
};

// Decodes one UTF-8 sequence starting at p (a byte >= 0x80). Returns its length, or 0 when the
// bytes are not well-formed UTF-8 (overlong forms, surrogates and values above U+10FFFF
// included).
inline int decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& code_point) {
    unsigned char lead = p[0];
    auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    std::ptrdiff_t available = end - p;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (available < 2 || !continuation(p[1])) return 0;
        code_point = (char32_t(lead & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (available < 3 || !continuation(p[1]) || !continuation(p[2])) return 0;
        if (lead == 0xE0 && p[1] < 0xA0) return 0;  // overlong
        if (lead == 0xED && p[1] > 0x9F) return 0;  // surrogate
        code_point = (char32_t(lead & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (available < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3]))
            return 0;
        if (lead == 0xF0 && p[1] < 0x90) return 0;  // overlong
        if (lead == 0xF4 && p[1] > 0x8F) return 0;  // above U+10FFFF
        code_point = (char32_t(lead & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                     (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

// Longest UTF-8 form of one code unit of the given storage.
template <class Unit>
inline constexpr std::size_t kMaxUtf8PerUnit = sizeof(Unit) == 1   ? 2
                                               : sizeof(Unit) == 2 ? 3
                                                                   : 4;

// Writes code units of text (Latin-1, UCS-2 or UCS-4 storage) as UTF-8 into out, which must
// hold size * kMaxUtf8PerUnit<Unit> bytes, so that text held in a str can be scanned without
// asking the host for its UTF-8 form. Returns the number of bytes written, or -1 when the text
// holds a surrogate (which has no UTF-8 form).
template <class Unit>
std::ptrdiff_t encode_utf8(const Unit* text, std::size_t size, char* out) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    std::size_t i = 0;
    while (i < size) {
#if defined(__SSE2__)
        if constexpr (sizeof(Unit) == 2) {
            // Cyrillic lines are mostly ASCII (keys, dates, punctuation): eight units at a time.
            if (size - i >= 8) {
                __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
                __m128i high = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80)));
                if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF) {
                    __m128i bytes = _mm_packus_epi16(units, units);
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), bytes);
                    o += 8;
                    i += 8;
                    continue;
                }
            }
        }
#endif
        char32_t c = text[i++];
        if (c < 0x80) {
            *o++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return -1;
            *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *o++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return o - reinterpret_cast<unsigned char*>(out);
}

// First byte at or after p that ends a run of plain string bytes: a quote, a backslash, a
// control character or a non-ASCII byte; `end` when there is none.
inline const unsigned char* skip_plain_ascii(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed comparison: bytes >= 0x80 are negative, so one test finds both the control
        // characters and the start of every non-ASCII sequence.
        __m128i stop = _mm_or_si128(
            _mm_cmplt_epi8(chunk, space),
            _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    while (p < end) {
        unsigned char c = *p;
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
        ++p;
    }
    return end;
}

#if defined(__SSE2__)
// The number of bits set in a 16-bit mask, without the library call that a popcount becomes
// where the instruction set may lack one.
inline std::size_t bits_set(unsigned mask) {
    mask = mask - ((mask >> 1) & 0x5555u);
    mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
    mask = (mask + (mask >> 4)) & 0x0F0Fu;
    return (mask + (mask >> 8)) & 0x1Fu;
}

// Reads on through a run of string text made of ASCII and two-byte UTF-8 sequences (Latin,
// Cyrillic, Greek and the like), sixteen bytes at a time, from the non-ASCII byte at p. Returns
// the first byte that ends plain string text (a quote, a backslash or a control character), or
// the place where bytewise reading must go on (a longer sequence, a byte no sequence starts
// with, the last bytes of the text); nullptr when a two-byte sequence is broken. Counts the
// continuation bytes it passed and widens `width` by the sequences it passed.
inline const unsigned char* skip_two_byte_text(const unsigned char* p, const unsigned char* end,
                                               std::size_t& continuation_bytes, Width& width) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    // Ranges tested as unsigned: c in [low, low + span] when min(c - low, span) == c - low.
    auto in_range = [](__m128i chunk, int low, int span) {
        const __m128i moved = _mm_sub_epi8(chunk, _mm_set1_epi8(static_cast<char>(low)));
        return static_cast<unsigned>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_min_epu8(moved, _mm_set1_epi8(static_cast<char>(span))), moved)));
    };
    unsigned carry = 0;  // the block before ended with a lead byte
    while (end - p >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned stop = in_range(chunk, 0x00, 0x1F) |
                              static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                                  _mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash))));
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(chunk));
        const unsigned continuation = in_range(chunk, 0x80, 0x3F);
        const unsigned lead = in_range(chunk, 0xC2, 0xDF - 0xC2);
        const unsigned size = stop != 0 ? static_cast<unsigned>(__builtin_ctz(stop)) : 16;
        const unsigned inside = size == 16 ? 0xFFFFu : (1u << size) - 1;
        if ((high & ~(lead | continuation) & inside) != 0) return p - carry;
        // Each lead byte is followed by exactly one continuation byte, and only it is.
        const unsigned expected = (lead << 1) | carry;
        if (((continuation ^ expected) & inside) != 0) return nullptr;
        if (size < 16 && ((expected >> size) & 1) != 0) return nullptr;
        continuation_bytes += bits_set(continuation & inside);
        if ((in_range(chunk, 0xC4, 0xDF - 0xC4) & inside) != 0) {
            width = std::max(width, Width::ucs2);
        } else if ((lead & inside) != 0) {
            width = std::max(width, Width::latin1);
        }
        if (size < 16) return p + size;
        carry = (lead >> 15) & 1;
        p += 16;
    }
    return p - carry;
}
#endif

// Recursive-descent scanner over one JSON text. The builder supplies the value type and how
// values are made; see PythonBuilder in py/json_build.cpp for the interface:
//   Value null_value(), boolean(bool), integer(int64_t), real(double),
//         string(const StringPiece&), key(const StringPiece&), new_object(), new_array();
//   bool set_member(Value& object, Value key, Value value), append(Value& array, Value value).
// An empty (false) Value from the builder, or false from set_member/append, ends the scan with
// builder_failed.
template <class Builder>
class Scanner {
  public:
    using Value = typename Builder::Value;

    Scanner(std::string_view text, Builder& builder)
        : p_(reinterpret_cast<const unsigned char*>(text.data())),
          end_(p_ + text.size()),
          builder_(builder) {}

    // Decodes the whole text: leading and trailing JSON white space around exactly one value.
    ScanResult run(Value& out) {
        // A byte-order mark is an error for the host decoder.
        if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF) {
            return ScanResult::declined;
        }
        skip_whitespace();
        Value value = scan_value(0);
        if (!value) return result_;
        skip_whitespace();
        if (p_ != end_) return ScanResult::declined;
        out = std::move(value);
        return ScanResult::ok;
    }

  private:
    static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

    Value decline() {
        result_ = ScanResult::declined;
        return Value();
    }
    Value checked(Value value) {
        if (!value) result_ = ScanResult::builder_failed;
        return value;
    }

    void skip_whitespace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool take_literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size()) return false;
        if (std::memcmp(p_, word.data(), word.size()) != 0) return false;
        p_ += word.size();
        return true;
    }

    Value scan_value(int depth) {
        if (p_ == end_) return decline();
        switch (*p_) {
            case '"': {
                ++p_;
                StringPiece piece;
                if (!scan_string(piece)) return decline();
                return checked(builder_.string(piece));
            }
            case '{':
                return scan_object(depth + 1);
            case '[':
                return scan_array(depth + 1);
            case 'n':
                if (take_literal("null")) return checked(builder_.null_value());
                return decline();
            case 't':
                if (take_literal("true")) return checked(builder_.boolean(true));
                return decline();
            case 'f':
                if (take_literal("false")) return checked(builder_.boolean(false));
                return decline();
            case 'N':
                if (take_literal("NaN")) {
                    return checked(builder_.real(std::numeric_limits<double>::quiet_NaN()));
                }
                return decline();
            case 'I':
                if (take_literal("Infinity")) {
                    return checked(builder_.real(std::numeric_limits<double>::infinity()));
                }
                return decline();
            case '-':
                if (take_literal("-Infinity")) {
                    return checked(builder_.real(-std::numeric_limits<double>::infinity()));
                }
                return scan_number();
            default:
                return scan_number();
        }
    }

    Value scan_object(int depth) {
        if (depth > kMaxDepth) return decline();
        ++p_;  // '{'
        Value object = checked(builder_.new_object());
        if (!object) return object;
        skip_whitespace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            return object;
        }
        for (;;) {
            if (p_ == end_ || *p_ != '"') return decline();
            ++p_;
            StringPiece piece;
            if (!scan_string(piece)) return decline();
            Value key = checked(builder_.key(piece));
            if (!key) return key;
            skip_whitespace();
            if (p_ == end_ || *p_ != ':') return decline();
            ++p_;
            skip_whitespace();
            Value value = scan_value(depth);
            if (!value) return value;
            if (!builder_.set_member(object, std::move(key), std::move(value))) {
                result_ = ScanResult::builder_failed;
                return Value();
            }
            skip_whitespace();
            if (p_ == end_) return decline();
            if (*p_ == '}') {
                ++p_;
                return object;
            }
            if (*p_ != ',') return decline();
            ++p_;
            skip_whitespace();
        }
    }

    Value scan_array(int depth) {
        if (depth > kMaxDepth) return decline();
        ++p_;  // '['
        Value array = checked(builder_.new_array());
        if (!array) return array;
        skip_whitespace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            return array;
        }
        for (;;) {
            Value value = scan_value(depth);
            if (!value) return value;
            if (!builder_.append(array, std::move(value))) {
                result_ = ScanResult::builder_failed;
                return Value();
            }
            skip_whitespace();
            if (p_ == end_) return decline();
            if (*p_ == ']') {
                ++p_;
                return array;
            }
            if (*p_ != ',') return decline();
            ++p_;
            skip_whitespace();
        }
    }

    // The host's number pattern: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?. Whatever
    // follows is checked by the caller, which declines anything but a delimiter.
    Value scan_number() {
        const unsigned char* start = p_;
        const unsigned char* p = p_;
        bool negative = false;
        if (*p == '-') {
            negative = true;
            ++p;
            if (p == end_) return decline();
        }
        const unsigned char* digits = p;
        if (*p == '0') {
            ++p;
        } else if (*p >= '1' && *p <= '9') {
            while (p < end_ && is_digit(*p)) ++p;
        } else {
            return decline();
        }
        const unsigned char* digits_end = p;
        bool is_float = false;
        if (end_ - p >= 2 && *p == '.' && is_digit(p[1])) {
            is_float = true;
            p += 2;
            while (p < end_ && is_digit(*p)) ++p;
        }
        if (p < end_ && (*p == 'e' || *p == 'E')) {
            const unsigned char* q = p + 1;
            if (q < end_ && (*q == '+' || *q == '-')) ++q;
            if (q < end_ && is_digit(*q)) {
                while (q < end_ && is_digit(*q)) ++q;
                is_float = true;
                p = q;
            }
        }
        p_ = p;
        if (!is_float) {
            if (static_cast<std::size_t>(digits_end - digits) > kMaxIntegerDigits) {
                return decline();
            }
            std::int64_t magnitude = 0;
            for (const unsigned char* d = digits; d < digits_end; ++d) {
                magnitude = magnitude * 10 + (*d - '0');
            }
            return checked(builder_.integer(negative ? -magnitude : magnitude));
        }
        double value = 0;
        auto first = reinterpret_cast<const char*>(start);
        auto last = reinterpret_cast<const char*>(p);
        auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
        // Out of range means the host would give an infinity or a rounded zero; leave those
        // to the host rather than second-guess the rounding.
        if (ec != std::errc() || ptr != last || !std::isfinite(value)) return decline();
        return checked(builder_.real(value));
    }

    // Scans the string body after its opening quote; on success p_ is past the closing quote.
    bool scan_string(StringPiece& out) {
        const unsigned char* start = p_;
        const unsigned char* p = start;
        std::size_t continuation_bytes = 0;
        Width width = Width::ascii;
        for (;;) {
            p = skip_plain_ascii(p, end_);
            if (p == end_) return false;
            unsigned char c = *p;
            if (c == '"') break;
            if (c == '\\') return scan_escaped_string(start, out);
            if (c < 0x20) return false;
#if defined(__SSE2__)
            p = skip_two_byte_text(p, end_, continuation_bytes, width);
            if (p == nullptr || p == end_) return false;
            c = *p;
            if (c < 0x80) continue;
#endif
            // A run of non-ASCII text (Cyrillic words) stays in this loop: two-byte
            // sequences, the common case, are checked inline.
            do {
                if (c >= 0xC2 && c <= 0xDF) {
                    if (end_ - p < 2 || (p[1] & 0xC0) != 0x80) return false;
                    width = std::max(width, c >= 0xC4 ? Width::ucs2 : Width::latin1);
                    p += 2;
                    ++continuation_bytes;
                } else {
                    char32_t code_point = 0;
                    int size = decode_utf8(p, end_, code_point);
                    if (size == 0) return false;
                    width = std::max(width, width_of(code_point));
                    continuation_bytes += static_cast<std::size_t>(size - 1);
                    p += size;
                }
                if (p == end_) return false;
                c = *p;
            } while (c >= 0x80);
        }
        out.utf8 = std::string_view(reinterpret_cast<const char*>(start),
                                    static_cast<std::size_t>(p - start));
        out.escaped = false;
        out.width = width;
        out.length = out.utf8.size() - continuation_bytes;
        p_ = p + 1;
        return true;
    }

    static int hex_value(unsigned char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Reads four hex digits at p; false when there are fewer or one is not a hex digit.
    bool read_hex4(const unsigned char* p, char32_t& code_unit) const {
        if (end_ - p < 4) return false;
        char32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hex_value(p[i]);
            if (digit < 0) return false;
            value = (value << 4) | static_cast<char32_t>(digit);
        }
        code_unit = value;
        return true;
    }

    // Decodes a string that holds escapes into code points, from the start of its body.
    bool scan_escaped_string(const unsigned char* start, StringPiece& out) {
        decoded_.clear();
        char32_t max_code_point = 0;
        const unsigned char* p = start;
        for (;;) {
            const unsigned char* run_end = skip_plain_ascii(p, end_);
            for (; p < run_end; ++p) decoded_.push_back(*p);
            if (p == end_) return false;
            unsigned char c = *p;
            char32_t code_point = 0;
            if (c == '"') break;
            if (c < 0x20) return false;
            if (c >= 0x80) {
                int size = decode_utf8(p, end_, code_point);
                if (size == 0) return false;
                p += size;
            } else if (end_ - p >= 2 && p[1] == 'u') {
                if (!read_hex4(p + 2, code_point)) return false;
                p += 6;
                // A high surrogate joins a directly following low-surrogate escape; any other
                // surrogate stays a code point of its own, as the host decoder keeps it.
                char32_t low = 0;
                if (code_point >= 0xD800 && code_point <= 0xDBFF && end_ - p >= 6 && p[0] == '\\' &&
                    p[1] == 'u' && read_hex4(p + 2, low) && low >= 0xDC00 && low <= 0xDFFF) {
                    code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
                    p += 6;
                }
            } else {
                if (end_ - p < 2) return false;
                switch (p[1]) {
                    case '"':
                        code_point = '"';
                        break;
                    case '\\':
                        code_point = '\\';
                        break;
                    case '/':
                        code_point = '/';
                        break;
                    case 'b':
                        code_point = '\b';
                        break;
                    case 'f':
                        code_point = '\f';
                        break;
                    case 'n':
                        code_point = '\n';
                        break;
                    case 'r':
                        code_point = '\r';
                        break;
                    case 't':
                        code_point = '\t';
                        break;
                    default:
                        return false;
                }
                p += 2;
            }
            if (code_point > max_code_point) max_code_point = code_point;
            decoded_.push_back(code_point);
        }
        out.code_points = decoded_.view();
        out.escaped = true;
        out.width = width_of(max_code_point);
        out.length = out.code_points.size();
        p_ = p + 1;
        return true;
    }

    // Code points of the string being decoded: on the stack while short, else on the heap.
    class CodePointBuffer {
      public:
        void clear() {
            size_ = 0;
            heap_.clear();
        }
        void push_back(char32_t cp) {
            if (size_ < inline_.size()) {
                inline_[size_++] = cp;
                return;
            }
            if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
            heap_.push_back(cp);
            ++size_;
        }
        std::span<const char32_t> view() const {
            if (size_ <= inline_.size()) return {inline_.data(), size_};
            return {heap_.data(), heap_.size()};
        }

      private:
        // Left uninitialised: only the first size_ elements are ever read.
        std::array<char32_t, 256> inline_;
        std::vector<char32_t> heap_;
        std::size_t size_ = 0;
    };

    const unsigned char* p_;
    const unsigned char* end_;
    Builder& builder_;
    ScanResult result_ = ScanResult::declined;
    CodePointBuffer decoded_;
};

// Scans `text` into `out` through `builder`.
template <class Builder>
ScanResult scan(std::string_view text, Builder& builder, typename Builder::Value& out) {
    Scanner<Builder> scanner(text, builder);
    return scanner.run(out);
}

}  // namespace nerit::core::json
