// Digit reading and calendar rules shared by the readers of ISO 8601 date texts.
#pragma once

#include <cstddef>
#include <string_view>

namespace nerit::core {

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads `count` decimal digits at `pos`; false when the text is too short or any of them is
// not a digit.
inline bool read_digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    int result = 0;
    for (std::size_t i = 0; i < count; ++i) {
        char c = text[pos + i];
        if (!is_digit(c)) return false;
        result = result * 10 + (c - '0');
    }
    value = result;
    return true;
}

// The value of the two decimal digits at `p`, or -1 when either is not a digit.
inline int two_digits(const char* p) {
    const unsigned tens = static_cast<unsigned char>(p[0]) - unsigned{'0'};
    const unsigned ones = static_cast<unsigned char>(p[1]) - unsigned{'0'};
    return tens > 9 || ones > 9 ? -1 : static_cast<int>(tens * 10 + ones);
}

inline bool is_leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days of `month` (1 to 12) in `year` of the proleptic Gregorian calendar.
inline int days_in_month(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

}  // namespace nerit::core
