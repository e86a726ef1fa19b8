// Date search and ISO 8601 reading for the time-range selection; see event_date.hpp.
#include "core/event_date.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/calendar.hpp"

namespace nerit::core {
namespace {

constexpr std::string_view kKeyTail = "DATE\":\"";

// The zone suffix as the host's parser accepts it; only its validity matters here.
bool valid_zone(std::string_view zone) {
    if (zone == "Z" || zone == "z") return true;
    if (zone.size() < 3 || (zone[0] != '+' && zone[0] != '-')) return false;
    int hours = 0;
    int minutes = 0;
    if (!read_digits(zone, 1, 2, hours)) return false;
    if (zone.size() == 3) {
        minutes = 0;
    } else if (zone.size() == 5) {
        if (!read_digits(zone, 3, 2, minutes)) return false;
    } else if (zone.size() == 6) {
        if (zone[3] != ':' || !read_digits(zone, 4, 2, minutes)) return false;
    } else {
        return false;
    }
    return hours <= 23 && minutes <= 59;
}

// Position of the next `DATE":"` in `line` at or after `from`, or npos. With SSE2 it tests
// sixteen places at once for the key's first and last bytes and compares only where both fit.
std::size_t find_key_tail(std::string_view line, std::size_t from) {
    const char* p = line.data();
    const std::size_t n = line.size();
    constexpr std::size_t kLast = kKeyTail.size() - 1;
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(kKeyTail.front());
    const __m128i last = _mm_set1_epi8(kKeyTail.back());
    for (; i + kLast + 16 <= n; i += 16) {
        __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + kLast));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(head, first), _mm_cmpeq_epi8(tail, last))));
        while (mask != 0) {
            std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (std::memcmp(p + at + 1, kKeyTail.data() + 1, kLast - 1) == 0) return at;
            mask &= mask - 1;
        }
    }
#endif
    if (i >= n) return std::string_view::npos;
    const void* hit = memmem(p + i, n - i, kKeyTail.data(), kKeyTail.size());
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - p);
}

// The value of the two decimal digits at `p`, or -1 when either is not a digit.
int two_digits(const char* p) {
    unsigned tens = static_cast<unsigned char>(p[0]) - unsigned{'0'};
    unsigned ones = static_cast<unsigned char>(p[1]) - unsigned{'0'};
    return tens > 9 || ones > 9 ? -1 : static_cast<int>(tens * 10 + ones);
}

}  // namespace

std::optional<DateField> find_event_date(std::string_view line) {
    std::size_t from = 0;
    while (true) {
        std::size_t tail = find_key_tail(line, from);
        if (tail == std::string_view::npos) return std::nullopt;
        from = tail + 1;
        bool iso = tail >= 4 && line.substr(tail - 4, 4) == "\"ISO";
        bool plain = tail >= 1 && line[tail - 1] == '"';
        if (!iso && !plain) continue;
        std::size_t value = tail + kKeyTail.size();
        if (value >= line.size()) return std::nullopt;
        // An empty value fails here; a later key may still match.
        if (line[value] == '"') continue;
        const void* close = std::memchr(line.data() + value, '"', line.size() - value);
        // Without a closing quote no later candidate can match either.
        if (close == nullptr) return std::nullopt;
        return DateField{iso, value,
                         static_cast<std::size_t>(static_cast<const char*>(close) - line.data())};
    }
}

std::optional<NaiveDateTime> parse_iso_datetime(std::string_view text) {
    if (text.size() < 10) return std::nullopt;
    const char* p = text.data();
    // Each field is read whole and checked once: a negative value marks a non-digit.
    int century = two_digits(p);
    int year_of_century = two_digits(p + 2);
    int month = two_digits(p + 5);
    int day = two_digits(p + 8);
    if ((century | year_of_century | month | day) < 0 || p[4] != '-' || p[7] != '-')
        return std::nullopt;
    NaiveDateTime dt{century * 100 + year_of_century, month, day, 0, 0, 0, 0};
    if (dt.year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(dt.year, month))
        return std::nullopt;
    if (text.size() == 10) return dt;
    if (text.size() < 19 || (p[10] != 'T' && p[10] != ' ') || p[13] != ':' || p[16] != ':')
        return std::nullopt;
    dt.hour = two_digits(p + 11);
    dt.minute = two_digits(p + 14);
    dt.second = two_digits(p + 17);
    // Hour 24 means the next day's midnight to the host: left to it.
    if ((dt.hour | dt.minute | dt.second) < 0 || dt.hour > 23 || dt.minute > 59 ||
        dt.second > 59) {
        return std::nullopt;
    }
    std::size_t pos = 19;
    if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
        // Digits past the sixth are read and dropped, as the host's parser cuts them.
        static constexpr int kScale[] = {100000, 10000, 1000, 100, 10, 1};
        std::size_t digits = pos + 1;
        std::size_t end = digits;
        int micro = 0;
        for (; end < text.size() && is_digit(text[end]); ++end) {
            if (end - digits < 6) micro += (text[end] - '0') * kScale[end - digits];
        }
        if (end == digits) return std::nullopt;
        dt.microsecond = micro;
        pos = end;
    }
    if (pos < text.size() && !valid_zone(text.substr(pos))) return std::nullopt;
    return dt;
}

bool DateFloor::passes_over(std::string_view line) const {
    std::optional<DateField> field = find_event_date(line);
    if (!field) return true;
    std::optional<NaiveDateTime> date =
        parse_iso_datetime(line.substr(field->begin, field->end - field->begin));
    return date && *date < bound_;
}

}  // namespace nerit::core
