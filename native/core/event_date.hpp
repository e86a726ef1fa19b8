// Finding an event's date in a raw log line, reading the common ISO 8601 shapes natively, and
// telling lines before a lower bound from the others.
#pragma once

#include <compare>
#include <cstddef>
#include <optional>
#include <string_view>

namespace nerit::core {

// Where the event's date text sits in a line.
struct DateField {
    bool iso_key;       // true for "ISODATE", false for "DATE"
    std::size_t begin;  // offset of the first byte of the value
    std::size_t end;    // offset just past the value (the closing quote)
};

// The leftmost match of the regular expression "(ISODATE|DATE)":"([^"]+)" in `line`, as a
// backtracking search over the text finds it; nothing when there is none. Works on UTF-8
// bytes: a quote byte never occurs inside a multi-byte sequence.
std::optional<DateField> find_event_date(std::string_view line);

// A date and time without time zone, ordered like the host's naive datetime.
struct NaiveDateTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int microsecond;
    auto operator<=>(const NaiveDateTime&) const = default;
};

// Reads the ISO 8601 shapes that logs use, giving exactly what the host's strict ISO parser
// returns once its time zone is dropped: YYYY-MM-DD, optionally followed by 'T' or ' ' and
// HH:MM:SS, an optional fraction ('.' or ',' and one or more digits, cut to microseconds) and
// an optional zone ('Z', 'z', +HH, +HHMM, +HH:MM or the same with '-'). Returns nothing for any
// other text and for dates the host would reject, so that the caller hands those to the host.
std::optional<NaiveDateTime> parse_iso_datetime(std::string_view text);

// A lower bound of a date range, for passing over the lines before it at the speed of a search.
class DateFloor {
  public:
    explicit DateFloor(const NaiveDateTime& bound) : bound_(bound) {}

    // True when the selection passes `line` over whatever else it holds: it has no date, or its
    // date (the leftmost key) is one that the host's parser reads and that lies before the
    // bound. False when the line may be selected, may end the selection or may raise; the
    // caller then judges it in full. Any bytes will do: the line need not be valid UTF-8.
    bool passes_over(std::string_view line) const;

  private:
    NaiveDateTime bound_;
};

}  // namespace nerit::core
