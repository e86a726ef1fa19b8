// Reading ISO 8601 date texts of the usual shapes and writing them as "DD.MM.YYYY HH:MM:SS".
#include "core/iso_clock.hpp"

#include "core/calendar.hpp"

namespace nerit::core {
namespace {

// Accepts "", "Z" and "{+|-}HH:MM" with HH <= 23 and MM <= 59.
bool is_plain_offset(std::string_view zone) {
    if (zone.empty()) return true;
    if (zone.size() == 1) return zone[0] == 'Z';
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return false;
    int hours = 0;
    int minutes = 0;
    return read_digits(zone, 1, 2, hours) && read_digits(zone, 4, 2, minutes) && hours <= 23 &&
           minutes <= 59;
}

void put_two(char* at, int value) {
    at[0] = static_cast<char>('0' + value / 10);
    at[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

bool format_iso_clock(std::string_view text, char (&out)[kClockTextLength]) {
    constexpr std::size_t kDateLength = 10;  // YYYY-MM-DD
    constexpr std::size_t kTimeEnd = 19;     // YYYY-MM-DDTHH:MM:SS
    if (text.size() < kDateLength || text[4] != '-' || text[7] != '-') return false;
    int year = 0;
    int month = 0;
    int day = 0;
    if (!read_digits(text, 0, 4, year) || !read_digits(text, 5, 2, month) ||
        !read_digits(text, 8, 2, day)) {
        return false;
    }
    if (year < 1000 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) {
        return false;
    }
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (text.size() > kDateLength) {
        if (text.size() < kTimeEnd || (text[10] != 'T' && text[10] != ' ') || text[13] != ':' ||
            text[16] != ':') {
            return false;
        }
        if (!read_digits(text, 11, 2, hour) || !read_digits(text, 14, 2, minute) ||
            !read_digits(text, 17, 2, second) || hour > 23 || minute > 59 || second > 59) {
            return false;
        }
        std::size_t pos = kTimeEnd;
        if (pos < text.size() && text[pos] == '.') {
            std::size_t digits = 0;
            while (pos + 1 + digits < text.size() && is_digit(text[pos + 1 + digits])) ++digits;
            if (digits != 3 && digits != 6) return false;
            pos += 1 + digits;
        }
        if (!is_plain_offset(text.substr(pos))) return false;
    }
    put_two(out, day);
    out[2] = '.';
    put_two(out + 3, month);
    out[5] = '.';
    put_two(out + 6, year / 100);
    put_two(out + 8, year % 100);
    out[10] = ' ';
    put_two(out + 11, hour);
    out[13] = ':';
    put_two(out + 14, minute);
    out[16] = ':';
    put_two(out + 17, second);
    return true;
}

}  // namespace nerit::core
