// Reading ISO 8601 date texts of the usual shapes and writing them as "DD.MM.YYYY HH:MM:SS".
#include "core/iso_clock.hpp"

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

// The fixed places of "YYYY-MM-DD" (and of "THH:MM:SS" after it) read at once: every field by
// its two digits, every separator compared, and no field outside its range.
bool valid_date(const char* p, int& year) {
    const int century = two_digits(p);
    const int year_of_century = two_digits(p + 2);
    const int month = two_digits(p + 5);
    const int day = two_digits(p + 8);
    if ((century | year_of_century | month | day) < 0 || p[4] != '-' || p[7] != '-') return false;
    year = century * 100 + year_of_century;
    // Only the 29th of February asks the leap-year rule.
    return year >= 1000 && month >= 1 && month <= 12 && day >= 1 &&
           (day <= 28 || day <= days_in_month(year, month));
}

bool valid_clock(const char* p) {
    const int hour = two_digits(p + 11);
    const int minute = two_digits(p + 14);
    const int second = two_digits(p + 17);
    return (p[10] == 'T' || p[10] == ' ') && p[13] == ':' && p[16] == ':' &&
           (hour | minute | second) >= 0 && hour <= 23 && minute <= 59 && second <= 59;
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
        if (pos < text.size() && text[pos] == '.') {
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
