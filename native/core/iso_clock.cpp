// Reading ISO 8601 date texts of the usual shapes and writing them as "DD.MM.YYYY HH:MM:SS".
#include "core/iso_clock.hpp"

#include <cstdint>
#include <cstring>

#include "core/calendar.hpp"

namespace nerit::core {
namespace {

// Accepts "", "Z" and "{+|-}HH:MM" with HH <= 23 and MM <= 59.
bool is_plain_offset(std::string_view zone) {
    if (zone.empty()) return true;
    if (zone.size() == 1) return zone[0] == 'Z';
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return false;
    const int hours = two_digits(zone.data() + 1);
    const int minutes = two_digits(zone.data() + 4);
    return (hours | minutes) >= 0 && hours <= 23 && minutes <= 59;
}

// Whether the `count` bytes at `p` are all decimal digits.
bool all_digits(const char* p, std::size_t count) {
    bool digits = true;
    for (std::size_t i = 0; i < count; ++i) digits &= is_digit(p[i]);
    return digits;
}

// Eight bytes at `p` as a little-endian word.
std::uint64_t word_at(const char* p) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    return word;
}

// Whether the bytes of `word` that `digits` selects are decimal digits and the others equal
// those of `fixed`: a digit has high nibble 3, and adding 6 to its low nibble carries nothing.
bool matches(std::uint64_t word, std::uint64_t digits, std::uint64_t fixed) {
    constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0u;
    constexpr std::uint64_t kThrees = 0x3030303030303030u;
    constexpr std::uint64_t kSixes = 0x0606060606060606u;
    const std::uint64_t numeric = word & digits;
    return (numeric & kHigh) == (kThrees & digits) &&
           ((numeric + (kSixes & digits)) & kHigh) == (kThrees & digits) &&
           (word & ~digits) == fixed;
}

// Little-endian word of eight bytes, for the patterns below.
constexpr std::uint64_t pattern(const char (&text)[9]) {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | static_cast<unsigned char>(text[i]);
    return word;
}

int digit_pair(const char* p) {
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// "YYYY-MM-DD" at `p`, every field in its range.
bool valid_date(const char* p, int& year) {
    // "YYYY-MM-" as one word, then the day's two digits.
    if (!matches(word_at(p), 0x00FFFF00FFFFFFFFu, pattern("\0\0\0\0-\0\0-")) ||
        two_digits(p + 8) < 0) {
        return false;
    }
    year = digit_pair(p) * 100 + digit_pair(p + 2);
    const int month = digit_pair(p + 5);
    const int day = digit_pair(p + 8);
    // Only the 29th of February asks the leap-year rule.
    return year >= 1000 && month >= 1 && month <= 12 && day >= 1 &&
           (day <= 28 || day <= days_in_month(year, month));
}

// "THH:MM:SS" (or with a space) at `p + 10`, every field in its range.
bool valid_clock(const char* p) {
    // Bytes 11-18 "HH:MM:SS" as one word.
    if ((p[10] != 'T' && p[10] != ' ') ||
        !matches(word_at(p + 11), 0xFFFF00FFFF00FFFFu, pattern("\0\0:\0\0:\0\0"))) {
        return false;
    }
    return digit_pair(p + 11) <= 23 && digit_pair(p + 14) <= 59 && digit_pair(p + 17) <= 59;
}

}  // namespace

bool format_iso_clock(std::string_view text, char (&out)[kClockTextLength]) {
    constexpr std::size_t kDateLength = 10;  // YYYY-MM-DD
    constexpr std::size_t kTimeEnd = 19;     // YYYY-MM-DDTHH:MM:SS
    const char* p = text.data();
    int year = 0;
    if (text.size() < kDateLength || !valid_date(p, year)) return false;
    if (text.size() == kDateLength) {
        std::memcpy(out + 11, "00:00:00", 8);
    } else {
        if (text.size() < kTimeEnd || !valid_clock(p)) return false;
        std::size_t pos = kTimeEnd;
        // The shape logs write, ".ffffff+HH:MM" or "-HH:MM", as two words; others below.
        if (text.size() == kTimeEnd + 13 &&
            (matches(word_at(p + pos), 0x00FFFFFFFFFFFF00u, pattern(".\0\0\0\0\0\0+")) ||
             matches(word_at(p + pos), 0x00FFFFFFFFFFFF00u, pattern(".\0\0\0\0\0\0-")))) {
            pos += 7;
        } else if (pos < text.size() && text[pos] == '.') {
            // Three or six digits, and no seventh.
            const std::size_t left = text.size() - pos - 1;
            std::size_t digits = left >= 6 && all_digits(p + pos + 1, 6) ? 6
                                 : left >= 3 && all_digits(p + pos + 1, 3) ? 3
                                                                            : 0;
            if (digits == 0 || (digits < left && is_digit(p[pos + 1 + digits]))) return false;
            pos += 1 + digits;
        }
        if (!is_plain_offset(text.substr(pos))) return false;
        std::memcpy(out + 11, p + 11, 8);  // HH:MM:SS as it stands
    }
    // DD.MM.YYYY: the date's own digits in another order.
    std::memcpy(out, p + 8, 2);
    out[2] = '.';
    std::memcpy(out + 3, p + 5, 2);
    out[5] = '.';
    std::memcpy(out + 6, p, 4);
    out[10] = ' ';
    return true;
}

}  // namespace nerit::core
